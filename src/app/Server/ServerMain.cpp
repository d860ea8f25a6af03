// pelorin-server: parses the command line, wires the real pipeline into CutoutHttpServer, and
// turns SIGTERM or SIGINT into a drain: stop accepting, answer what was accepted, exit 0.
#include "app/Server/CutoutHttpServer.h"
#include "app/Server/ServerOptions.h"
#include "engine/Common/AllocatorPolicy.h"
#include "engine/Services/BackgroundRemover.h"
#include "engine/Services/CutoutService.h"
#include "engine/Services/ImageProcessor.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

namespace {

// A private folder for the encoders' scratch files, removed with its content at exit.
class ScratchFolder {
public:
    ScratchFolder()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/pelorin-server-XXXXXX";
        if (mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace

int main(int argc, char** argv)
{
    using namespace pelorin;
    // Block the stop signals in every thread (all start after this); one thread waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN); // a client gone mid-response is an error value, not a death
    // Bodies, pixels and encoded answers are megabytes each and freed when their request ends;
    // a long run of varied images would otherwise only ever grow the per-thread heaps.
    releaseLargeBlocksPromptly();

    auto options = ServerOptions::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (!options) {
        std::fprintf(stderr, "pelorin-server: %s\n%s", options.error().c_str(), ServerOptions::usage.data());
        return 2;
    }
    ScratchFolder scratch;
    if (scratch.path().empty()) {
        std::fprintf(stderr, "pelorin-server: cannot create a scratch folder\n");
        return 1;
    }
    auto service =
        std::make_shared<const CutoutService>(std::make_shared<BackgroundRemover>(), std::make_shared<ImageProcessor>(),
                                              options->jobs, options->queue, scratch.path());
    CutoutHttpServer server(*options, service);
    auto port = server.bind();
    if (!port) {
        std::fprintf(stderr, "pelorin-server: %s\n", port.error().c_str());
        return 1;
    }
    std::printf("pelorin-server listening on http://%s:%d (jobs %d, queue %d)\n", options->host.c_str(), *port,
                options->jobs, options->queue);
    std::fflush(stdout);

    std::thread watcher([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    });
    const bool served = server.serve();
    if (!served)
        kill(getpid(), SIGTERM); // release the watcher: it is pending and blocked, so nothing dies
    watcher.join();
    return served ? 0 : 1;
}
