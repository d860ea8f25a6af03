// CutoutHttpServer: the HTTP face of CutoutService. POST /v1/cutout takes an image as the raw body
// or as the multipart field "image" and answers the encoded cutout or mask; /healthz, /readyz and
// /metrics serve probes and scrapers. A body is received before its request takes a processing
// slot, so a slow client holds one connection thread and nothing else; bodies over the limit are
// refused from their Content-Length, or as soon as they pass it when sent in chunks, and all the
// bodies held at once share a budget of (jobs + queue) × the limit, beyond which a request is 429.
//
// serve() blocks; stop() may be called from any thread (a signal watcher): the listener closes,
// readiness turns false, and serve() returns once every accepted request has been answered.
#pragma once

#include "app/Server/ByteBudget.h"
#include "app/Server/ServerMetrics.h"
#include "app/Server/ServerOptions.h"
#include "engine/Services/CutoutService.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
} // namespace httplib

namespace pelorin {

class CutoutHttpServer {
public:
    CutoutHttpServer(ServerOptions options, std::shared_ptr<const CutoutService> service);
    ~CutoutHttpServer();
    CutoutHttpServer(const CutoutHttpServer&) = delete;
    CutoutHttpServer& operator=(const CutoutHttpServer&) = delete;

    // Binds the listening socket and starts loading the model; the port actually bound.
    Result<int, std::string> bind();
    // Serves until stop(); false when the listener failed rather than being stopped.
    bool serve();
    void stop();

private:
    void handleCutout(const httplib::Request& request, httplib::Response& response,
                      const httplib::ContentReader& reader);
    bool authorized(const httplib::Request& request) const;
    void setRetryAfter(httplib::Response& response) const;
    void warmUpUntilReady(std::stop_token stop);

    ServerOptions options_;
    std::shared_ptr<const CutoutService> service_;
    std::unique_ptr<httplib::Server> http_;
    ServerMetrics metrics_;
    ByteBudget bodies_; // bodies held at once: as many full ones as can be in flight or queued
    std::atomic<bool> ready_ = false;
    std::atomic<bool> stopping_ = false;
    std::mutex warmUpMutex_;
    std::string warmUpError_; // why the model is not ready yet
    std::condition_variable_any warmUpWake_;
    std::jthread warmUp_;
};

} // namespace pelorin
