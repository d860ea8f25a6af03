// pelorin-server through real loopback sockets: the real binary, model and photographs. One server
// is shared by the suite (one job, one queue place, a 2 MB body limit, a token) so the model loads
// once; the no-model and drain cases start their own.
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <map>
#include <regex>
#include <thread>

namespace pelorin::test {
namespace {

// A server that refuses mid-upload closes the socket under the sender's feet.
const bool sigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

using namespace std::chrono_literals;

// The real binary on a free port; killed if a test leaves it running.
struct ServerProcess {
    pid_t pid = -1;
    int port = 0;

    explicit ServerProcess(std::vector<std::string> arguments, std::vector<std::string> environment = {})
    {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        arguments.insert(arguments.begin(), {PELORIN_SERVER, "--listen", "127.0.0.1:0"});
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives a test program that died
            dup2(out[1], 1);
            for (auto& entry : environment)
                putenv(entry.data());
            std::vector<char*> argv;
            for (auto& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        FILE* output = fdopen(out[0], "r");
        char line[256] = {};
        fgets(line, sizeof line, output); // "… listening on http://127.0.0.1:PORT (…)"
        fclose(output);
        port = strrchr(line, ':') ? std::atoi(strrchr(line, ':') + 1) : 0;
        EXPECT_GT(port, 0) << "no listening line: " << line;
    }
    ~ServerProcess()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
    httplib::Client client(const std::string& token = "secret") const
    {
        httplib::Client client("127.0.0.1", port);
        client.set_bearer_token_auth(token.c_str());
        client.set_read_timeout(60);
        return client;
    }
    bool waitUntilReady() const
    {
        for (int i = 0; i < 600; ++i) {
            if (auto answer = client().Get("/readyz"); answer && answer->status == 200)
                return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
};

// The start of a raw cutout request to the suite's server, before its length header.
const std::string postHead = "POST /v1/cutout HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer secret\r\n";

// A connection on which `text` (a request, or the start of one) has been sent.
int sendRequest(int port, const std::string& text)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size()));
    return fd;
}

std::string fileText(const std::filesystem::path& path)
{
    auto bytes = readFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

std::string metric(const std::string& metrics, const std::string& name)
{
    std::smatch match;
    return std::regex_search(metrics, match, std::regex("\n" + name + " (\\S+)")) ? match[1].str() : "";
}

class ServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        folder = new TemporaryDirectory;
        writeFileBytes(*folder / "token", {'s', 'e', 'c', 'r', 'e', 't', '\n'});
        server = new ServerProcess({"--jobs", "1", "--queue", "1", "--max-body-mb", "2", "--token-file",
                                    (*folder / "token").string(), "--upload-seconds", "20"});
        ASSERT_TRUE(server->waitUntilReady());
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete folder;
    }
    static httplib::Result postRaw(const std::string& body, const std::string& query = "")
    {
        return server->client().Post(("/v1/cutout" + query).c_str(), body, "application/octet-stream");
    }
    static inline TemporaryDirectory* folder;
    static inline ServerProcess* server;
};

// A photograph with a profile, a turn, a resolution, capture data and a location: everything but
// the location must reach both served formats.
TEST_F(ServerTest, ServedPngAndTiffKeepTheSourcesMetadataButNotItsLocation)
{
    const auto source = *folder / "tagged.jpg";
    ASSERT_EQ(runCommand("exiftool -q -o " + shellQuote(source)
                         + " -Orientation#=6 -XResolution=300 -YResolution=300"
                           " -DateTimeOriginal='2021:05:04 03:02:01' -GPSLatitude=48.8 -GPSLatitudeRef=N "
                         + shellQuote(samplePhoto("rocket.jpg")))
                  .exitCode,
              0);
    for (const std::string format : {"png", "tiff"}) {
        auto answer = postRaw(fileText(source), "?format=" + format);
        ASSERT_TRUE(answer) << format;
        ASSERT_EQ(answer->status, 200) << answer->body;
        EXPECT_EQ(answer->get_header_value("Content-Type"), "image/" + format);
        const auto served = *folder / ("served." + format);
        writeFileBytes(served, {answer->body.begin(), answer->body.end()});
        EXPECT_EQ(exiftoolTag(served, "ProfileDescription"), "Adobe RGB (1998)") << format;
        EXPECT_EQ(exiftoolTag(served, "Orientation"), "6") << format;
        EXPECT_EQ(exiftoolTag(served, format == "png" ? "PixelsPerUnitX" : "XResolution"),
                  format == "png" ? "11811" : "300");
        EXPECT_EQ(exiftoolTag(served, "DateTimeOriginal"), "2021:05:04 03:02:01") << format;
        EXPECT_EQ(exiftoolTag(served, "GPSLatitude"), "") << format;
        EXPECT_EQ(identifyFormat(served, "%wx%h %z %A"), identifyFormat(source, "%wx%h %z") + " True") << format;
    }
}

// Each refusal with the status and the batch row's text where a row has one.
TEST_F(ServerTest, RefusalsCarryTheirStatusAndJsonText)
{
    const std::string jpeg = fileText(samplePhoto("grace_hopper.jpg"));
    ASSERT_EQ(runCommand("convert -size 256x256 xc:gray50 " + shellQuote(*folder / "grey.png")).exitCode, 0);
    struct Case {
        httplib::Result answer;
        int status;
        std::string text;
    };
    Case cases[] = {
        {postRaw("plain text, not an image"), 415, "Could not read source image at upload."},
        {postRaw(jpeg.substr(0, 2000)), 422, "Could not read source image at upload."},
        {postRaw(fileText(*folder / "grey.png")), 422,
         "Background mask generation failed: No foreground subject was detected in the image."},
        {postRaw(jpeg, "?format=gif"), 400, "Unknown format \"gif\": use png or tiff."},
        {postRaw(""), 400, "The request carries no image."},
        {server->client("wrong").Post("/v1/cutout", jpeg, "image/jpeg"), 401, "A valid bearer token is required."},
        {server->client().Post("/v1/cutout", httplib::MultipartFormDataItems{{"photo", jpeg, "a.jpg", "image/jpeg"}}),
         400, "The multipart body has no field named \"image\"."},
        {server->client().Post("/v1/cutout", "--b\r\nContent-Disposition: form-data; name=\"image\"\r\n\r\nabc",
                               "multipart/form-data; boundary=b"),
         400, "The multipart body is malformed."},
        {server->client().Get("/v2/nothing"), 404, "No such resource."},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.answer) << c.text;
        EXPECT_EQ(c.answer->status, c.status) << c.text;
        EXPECT_EQ(c.answer->get_header_value("Content-Type"), "application/json") << c.text;
        EXPECT_NE(c.answer->body.find("{\"error\": \"" + std::regex_replace(c.text, std::regex("\""), "\\\"") + "\""),
                  std::string::npos)
            << c.answer->body;
    }
}

// Refused from the announced length before a byte of the body is sent; a chunked body, which
// announces none, as soon as it passes the limit. Either way the connection is closed.
TEST_F(ServerTest, BodiesOverTheLimitAreRefusedUnread)
{
    const std::string chunk = "100000\r\n" + std::string(1 << 20, 'x') + "\r\n";
    for (const std::string& request : {postHead + "Content-Length: 3000000\r\n\r\n",
                                       postHead + "Transfer-Encoding: chunked\r\n\r\n" + chunk + chunk + chunk}) {
        const int fd = sendRequest(server->port, request);
        std::string reply(4096, '\0');
        reply.resize(std::max<ssize_t>(0, recv(fd, reply.data(), reply.size(), MSG_WAITALL)));
        EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 413");
        EXPECT_NE(reply.find("Connection: close"), std::string::npos);
        EXPECT_NE(reply.find("larger than 2 MB"), std::string::npos);
        close(fd);
    }
    // Two bodies announced at 1.9 MB hold most of the 4 MiB of bodies the server keeps for its job
    // and its queue place: a third that would pass it is told to retry before it sends its body.
    std::vector<int> held;
    for (int i = 0; i < 2; ++i)
        held.push_back(sendRequest(server->port, postHead + "Content-Length: 1900000\r\n\r\n"));
    for (int i = 0;
         i < 100 && metric(server->client().Get("/metrics")->body, "pelorin_request_body_bytes") != "3800000"; ++i)
        std::this_thread::sleep_for(50ms);
    auto third = postRaw(std::string(400000, 'x'));
    ASSERT_TRUE(third);
    EXPECT_EQ(third->status, 429);
    EXPECT_FALSE(third->get_header_value("Retry-After").empty());
    for (int fd : held)
        close(fd);
}

// One job and one queue place: of four at once, two are served and the rest told when to retry.
TEST_F(ServerTest, RequestsBeyondTheQueueAreRefusedWithRetryAfter)
{
    const std::string jpeg = fileText(samplePhoto("grace_hopper.jpg"));
    std::vector<std::future<std::pair<int, std::string>>> answers;
    for (int i = 0; i < 4; ++i)
        answers.push_back(std::async(std::launch::async, [&] {
            auto answer = postRaw(jpeg);
            return answer ? std::pair(answer->status, answer->get_header_value("Retry-After"))
                          : std::pair(-1, std::string());
        }));
    std::map<int, int> statuses;
    for (auto& answer : answers) {
        auto [status, retryAfter] = answer.get();
        ++statuses[status];
        EXPECT_TRUE(status != 429 || std::atoi(retryAfter.c_str()) >= 1) << retryAfter;
    }
    EXPECT_EQ(statuses, (std::map<int, int>{{200, 2}, {429, 2}}));
}

// Three clients trickling a byte a second hold connections, not slots: a fourth is served at once.
TEST_F(ServerTest, SlowClientsDoNotStarveOthers)
{
    std::vector<int> slow;
    for (int i = 0; i < 3; ++i)
        slow.push_back(sendRequest(server->port, postHead + "Content-Length: 100\r\n\r\n"));
    std::atomic<bool> done = false;
    std::thread trickle([&] {
        while (!done) {
            for (int fd : slow)
                send(fd, "x", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(1s);
        }
    });
    const auto started = std::chrono::steady_clock::now();
    auto answer = postRaw(fileText(samplePhoto("grace_hopper.jpg")));
    done = true;
    trickle.join();
    for (int fd : slow)
        close(fd);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
}

// Clients that leave mid-upload or mid-response free what they held: nothing stays in flight and
// the next request is served.
TEST_F(ServerTest, ClientsLeavingMidUploadOrMidResponseReleaseTheirRequest)
{
    int fd = sendRequest(server->port, postHead + "Content-Length: 1000000\r\n\r\n" + std::string(1000, 'x'));
    close(fd);

    const std::string jpeg = fileText(samplePhoto("grace_hopper.jpg"));
    fd = sendRequest(server->port, postHead + "Content-Length: " + std::to_string(jpeg.size()) + "\r\n\r\n" + jpeg);
    char head[100];
    ASSERT_GT(recv(fd, head, sizeof head, MSG_WAITALL), 0); // the answer has started
    close(fd);

    auto metrics = server->client().Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metric(metrics->body, "pelorin_jobs_in_flight"), "0");
    EXPECT_EQ(metric(metrics->body, "pelorin_queue_depth"), "0");
    EXPECT_NE(metrics->body.find("pelorin_http_requests_total{status=\"200\"}"), std::string::npos);
    // The next one, a mask from a multipart body, is served as usual.
    auto next = server->client().Post("/v1/cutout?output=mask",
                                      httplib::MultipartFormDataItems{{"note", "ignored", "", "text/plain"},
                                                                      {"image", jpeg, "hopper.jpg", "image/jpeg"}});
    ASSERT_TRUE(next);
    ASSERT_EQ(next->status, 200) << next->body;
    EXPECT_EQ(next->get_header_value("Content-Type"), "image/png");
    writeFileBytes(*folder / "mask.png", {next->body.begin(), next->body.end()});
    EXPECT_EQ(identifyFormat(*folder / "mask.png", "%wx%h %z %[channels]"), "512x600 8 lineargray");
}

TEST(ServerWithoutModel, IsNotReadyAndAnswers503)
{
    TemporaryDirectory home;
    ServerProcess server({},
                         {"PELORIN_MODEL=" + (home / "missing.onnx").string(), "HOME=" + home.path().string(),
                          "XDG_CACHE_HOME=" + home.path().string()});
    auto ready = server.client().Get("/readyz");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 503);
    EXPECT_EQ(server.client().Get("/healthz")->status, 200);
    auto answer = server.client().Post("/v1/cutout", fileText(samplePhoto("grace_hopper.jpg")), "image/jpeg");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 503);
    EXPECT_NE(answer->body.find("Background mask generation failed: Vision request failed:"), std::string::npos);
}

// SIGTERM while a cutout is being made: it is still answered, then the process exits 0.
TEST(ServerShutdown, SigtermFinishesWhatIsInFlightThenExitsZero)
{
    ServerProcess server({"--jobs", "1"});
    ASSERT_TRUE(server.waitUntilReady());
    auto answer = std::async(std::launch::async, [&] {
        return server.client().Post("/v1/cutout", fileText(samplePhoto("grace_hopper.jpg")), "image/jpeg");
    });
    for (int i = 0; i < 100; ++i) { // until the request holds its slot
        auto metrics = server.client().Get("/metrics");
        if (metrics && metric(metrics->body, "pelorin_jobs_in_flight") == "1")
            break;
        std::this_thread::sleep_for(50ms);
    }
    kill(server.pid, SIGTERM);
    int status = -1;
    waitpid(std::exchange(server.pid, -1), &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    auto result = answer.get();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_FALSE(server.client().Get("/healthz"));
}

} // namespace
} // namespace pelorin::test
