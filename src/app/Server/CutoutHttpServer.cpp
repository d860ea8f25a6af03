#include "app/Server/CutoutHttpServer.h"

#include <httplib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace pelorin {

namespace {

using Clock = std::chrono::steady_clock;

std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

void answerError(httplib::Response& response, int status, std::string_view message, std::string_view detail = {})
{
    std::string body = "{\"error\": " + jsonString(message);
    if (!detail.empty())
        body += ", \"detail\": " + jsonString(detail);
    response.status = status;
    response.set_content(body + "}\n", "application/json");
}

int statusFor(CutoutError::Kind kind)
{
    switch (kind) {
    case CutoutError::Kind::busy: return 429;
    case CutoutError::Kind::notAnImage: return 415;
    case CutoutError::Kind::unreadable:
    case CutoutError::Kind::noSubject: return 422;
    case CutoutError::Kind::modelUnavailable: return 503;
    case CutoutError::Kind::failed: break;
    }
    return 500;
}

// Compares without an early exit, so the answer's timing says nothing about the token.
bool sameSecret(std::string_view given, std::string_view expected)
{
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
    return difference == 0;
}

// Counts a body as it arrives, holds its share of the server's body memory, and stops it past the
// size limit, the upload deadline or the shared budget.
class BodyBudget {
public:
    enum class Verdict { fine, tooLarge, tooSlow, overBudget };

    BodyBudget(size_t limit, int seconds, ByteBudget& shared)
        : limit_(limit),
          deadline_(Clock::now() + std::chrono::seconds(seconds)),
          reservation_(shared)
    {
    }

    // Holds the announced length up front, so a body that cannot fit is refused before it is sent.
    bool reserve(size_t bytes)
    {
        if (!reservation_.growTo(bytes))
            verdict_ = Verdict::overBudget;
        return verdict_ == Verdict::fine;
    }
    bool take(size_t count)
    {
        received_ += count;
        if (received_ > limit_)
            verdict_ = Verdict::tooLarge;
        else if (Clock::now() > deadline_)
            verdict_ = Verdict::tooSlow;
        else
            reserve(received_);
        return verdict_ == Verdict::fine;
    }
    Verdict verdict() const { return verdict_; }

private:
    size_t limit_;
    Clock::time_point deadline_;
    ByteBudget::Reservation reservation_;
    size_t received_ = 0;
    Verdict verdict_ = Verdict::fine;
};

} // namespace

CutoutHttpServer::CutoutHttpServer(ServerOptions options, std::shared_ptr<const CutoutService> service)
    : options_(std::move(options)),
      service_(std::move(service)),
      http_(std::make_unique<httplib::Server>()),
      bodies_(size_t(options_.jobs + options_.queue) * options_.maxBodyBytes)
{
    auto& http = *http_;
    const size_t threads = size_t(options_.connections);
    http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    http.set_payload_max_length(options_.maxBodyBytes);
    http.set_keep_alive_timeout(2); // also how long an idle keep-alive connection delays a drain

    http.Get("/healthz", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{\"status\": \"up\"}\n", "application/json");
    });
    http.Get(
        "/readyz",
        [this](const httplib::Request&, httplib::Response& response) {
            if (ready_ && !stopping_) {
                response.set_content("{\"status\": \"ready\"}\n", "application/json");
                return;
            }
            std::lock_guard lock(warmUpMutex_);
            answerError(response, 503, stopping_ ? "The server is shutting down." : "The model is not loaded yet.",
                        stopping_ ? std::string() : warmUpError_);
        });
    http.Get(
        "/metrics",
        [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(
                metrics_.render(service_->waiting(), service_->inFlight(), bodies_.used(), ready_ && !stopping_),
                "text/plain; version=0.0.4");
        });
    http.Post("/v1/cutout",
              [this](const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader& reader) { handleCutout(request, response, reader); });

    // The library's own refusals (unknown route, unparsable request, a body over the limit on a
    // route that buffers) get the same JSON shape as ours.
    http.set_error_handler(httplib::Server::HandlerWithResponse(
        [limit = options_.maxBodyBytes](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            switch (response.status) {
            case 404: answerError(response, 404, "No such resource."); break;
            case 413:
                answerError(response, 413, "The request body is larger than " + std::to_string(limit >> 20) + " MB.");
                break;
            default: answerError(response, response.status, "Malformed request."); break;
            }
            return httplib::Server::HandlerResponse::Handled;
        }));
    http.set_logger([this](const httplib::Request&, const httplib::Response& response) {
        metrics_.recordResponse(response.status);
    });
}

CutoutHttpServer::~CutoutHttpServer() = default;

Result<int, std::string> CutoutHttpServer::bind()
{
    const int port = options_.port == 0 ? http_->bind_to_any_port(options_.host)
                                        : (http_->bind_to_port(options_.host, options_.port) ? options_.port : -1);
    if (port < 0)
        return unexpected("cannot listen on " + options_.host + ":" + std::to_string(options_.port));
    warmUp_ = std::jthread([this](std::stop_token stop) { warmUpUntilReady(stop); });
    return port;
}

bool CutoutHttpServer::serve()
{
    const bool listened = http_->listen_after_bind();
    return listened || stopping_;
}

void CutoutHttpServer::stop()
{
    stopping_ = true;
    warmUp_.request_stop();
    http_->stop();
}

void CutoutHttpServer::warmUpUntilReady(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        auto warmed = service_->warmUp();
        if (warmed) {
            ready_ = true;
            return;
        }
        std::unique_lock lock(warmUpMutex_);
        warmUpError_ = warmed.error().message();
        // A model installed while we run is picked up by the next attempt.
        warmUpWake_.wait_for(lock, stop, std::chrono::seconds(5), [] { return false; });
    }
}

void CutoutHttpServer::setRetryAfter(httplib::Response& response) const
{
    // About one cutout's time: by then a slot or a queue place has most likely come free.
    response.set_header("Retry-After", std::to_string(int(std::max(1.0, std::ceil(metrics_.meanCutoutSeconds())))));
}

bool CutoutHttpServer::authorized(const httplib::Request& request) const
{
    if (!options_.token)
        return true;
    const std::string header = request.get_header_value("Authorization");
    constexpr std::string_view scheme = "Bearer ";
    return header.starts_with(scheme) && sameSecret(std::string_view(header).substr(scheme.size()), *options_.token);
}

void CutoutHttpServer::handleCutout(const httplib::Request& request, httplib::Response& response,
                                    const httplib::ContentReader& reader)
{
    BodyBudget budget(options_.maxBodyBytes, options_.uploadSeconds, bodies_);
    const size_t announced = std::strtoull(request.get_header_value("Content-Length").c_str(), nullptr, 10);
    const bool tooLong = announced > options_.maxBodyBytes;
    bool readAttempted = false;
    bool bodyRead = false;
    // A refusal still reads (and drops) a body within the limits, so that a client still sending
    // hears the answer; otherwise the connection closes, as an unread body cannot be skipped.
    const auto refuse = [&](int status, std::string_view message) {
        const auto drop = [&](const char*, size_t size) { return budget.take(size); };
        if (!readAttempted && !tooLong && budget.verdict() == BodyBudget::Verdict::fine) {
            readAttempted = true;
            bodyRead = request.is_multipart_form_data()
                ? reader([](const httplib::MultipartFormData&) { return true; }, drop)
                : reader(drop);
        }
        if (!bodyRead)
            response.set_header("Connection", "close");
        answerError(response, status, message);
    };
    if (!authorized(request)) {
        response.set_header("WWW-Authenticate", "Bearer");
        return refuse(401, "A valid bearer token is required.");
    }
    const std::string formatName = request.has_param("format") ? request.get_param_value("format") : "png";
    const auto format = OutputFormats::fromRawValue(formatName);
    if (!format)
        return refuse(400, "Unknown format \"" + formatName + "\": use png or tiff.");
    const std::string outputName = request.has_param("output") ? request.get_param_value("output") : "cutout";
    if (outputName != "cutout" && outputName != "mask")
        return refuse(400, "Unknown output \"" + outputName + "\": use cutout or mask.");
    const std::string tooLarge =
        "The request body is larger than " + std::to_string(options_.maxBodyBytes >> 20) + " MB.";
    if (tooLong)
        return refuse(413, tooLarge);
    const auto busy = [&] {
        setRetryAfter(response);
        refuse(429, CutoutError::busy().message());
    };
    if (!budget.reserve(announced))
        return busy();

    auto image = std::make_shared<std::vector<uint8_t>>();
    const auto append = [&image](const char* data, size_t size) {
        image->insert(image->end(), reinterpret_cast<const uint8_t*>(data),
                      reinterpret_cast<const uint8_t*>(data) + size);
    };
    std::string name = "upload";
    bool received = false;
    bool imageFieldSeen = false;
    if (request.is_multipart_form_data()) {
        bool inImage = false;
        received = reader(
            [&](const httplib::MultipartFormData& part) {
                inImage = part.name == "image" && !imageFieldSeen; // a repeated field is ignored
                if (inImage) {
                    imageFieldSeen = true;
                    if (!part.filename.empty())
                        name = part.filename;
                }
                return true;
            },
            [&](const char* data, size_t size) {
                if (!budget.take(size))
                    return false;
                if (inImage)
                    append(data, size);
                return true;
            });
    } else {
        imageFieldSeen = true;
        received = reader([&](const char* data, size_t size) {
            if (!budget.take(size))
                return false;
            append(data, size);
            return true;
        });
    }
    readAttempted = true;
    bodyRead = received;
    if (budget.verdict() == BodyBudget::Verdict::overBudget)
        return busy();
    if (budget.verdict() == BodyBudget::Verdict::tooLarge)
        return refuse(413, tooLarge);
    if (budget.verdict() == BodyBudget::Verdict::tooSlow)
        return refuse(408, "The request body did not arrive within " + std::to_string(options_.uploadSeconds) + " s.");
    if (!received)
        return refuse(400,
                      request.is_multipart_form_data() ? "The multipart body is malformed."
                                                       : "The request body could not be read.");
    if (!imageFieldSeen)
        return refuse(400, "The multipart body has no field named \"image\".");
    if (image->empty())
        return refuse(400, "The request carries no image.");

    const auto started = Clock::now();
    auto cutout = service_->process(
        {std::move(image), name, *format, outputName == "mask" ? CutoutOutput::mask : CutoutOutput::cutout});
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (!cutout) {
        const int status = statusFor(cutout.error().kind());
        if (status == 429)
            setRetryAfter(response);
        else
            metrics_.recordCutout(status, seconds);
        answerError(response, status, cutout.error().message(), cutout.error().detail());
        return;
    }
    metrics_.recordInference(cutout->maskSeconds);
    metrics_.recordCutout(200, seconds);
    response.status = 200;
    response.set_content(reinterpret_cast<const char*>(cutout->bytes.data()), cutout->bytes.size(),
                         std::string(cutout->contentType));
}

} // namespace pelorin
