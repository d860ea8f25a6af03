// ServerOptions: the command line of pelorin-server, parsed and checked before anything starts.
// The token file is read here too, so a missing or empty one stops the program at once.
#pragma once

#include "engine/Common/Result.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace pelorin {

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port (printed at start)
    int jobs = 1;  // images in flight; the batch processor's default, one per core
    int queue = 4; // requests waiting for a slot beyond `jobs`; more are answered 429
    size_t maxBodyBytes = 64u << 20;
    int connections = 64;             // connections served at once; each holds one thread
    int uploadSeconds = 120;          // a body not received within this is refused (408)
    std::optional<std::string> token; // required as "Authorization: Bearer <token>" when set

    static constexpr std::string_view usage =
        "usage: pelorin-server --listen HOST:PORT [--jobs N] [--queue N] [--max-body-mb N]\n"
        "                      [--token-file FILE] [--connections N] [--upload-seconds N]\n";

    // Fails with a one-line reason for the user.
    static Result<ServerOptions, std::string> parse(const std::vector<std::string>& arguments);
};

} // namespace pelorin
