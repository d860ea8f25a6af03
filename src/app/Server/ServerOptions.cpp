#include "app/Server/ServerOptions.h"

#include "engine/Services/BatchProcessor.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace pelorin {

namespace {

std::optional<long> parseNumber(const std::string& text, long minimum, long maximum)
{
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

std::optional<std::string> readToken(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::stringstream content;
    content << in.rdbuf();
    std::string token = content.str();
    // Files written by editors and secret mounts often end with a newline that is not part of it.
    const auto last = token.find_last_not_of(" \t\r\n");
    token.erase(last == std::string::npos ? 0 : last + 1);
    token.erase(0, token.find_first_not_of(" \t\r\n"));
    if (token.empty())
        return std::nullopt;
    return token;
}

} // namespace

Result<ServerOptions, std::string> ServerOptions::parse(const std::vector<std::string>& arguments)
{
    ServerOptions options;
    options.jobs = BatchProcessor::defaultMaxConcurrency();
    bool listenGiven = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& flag = arguments[i];
        if (i + 1 >= arguments.size())
            return unexpected(std::string(flag.starts_with("--") ? flag + " needs a value" : "unexpected " + flag));
        const std::string& value = arguments[++i];
        const auto number = [&](long minimum, long maximum) -> std::optional<long> {
            return parseNumber(value, minimum, maximum);
        };
        if (flag == "--listen") {
            const auto colon = value.rfind(':');
            const auto port =
                colon == std::string::npos ? std::nullopt : parseNumber(value.substr(colon + 1), 0, 65535);
            if (!port || colon == 0)
                return unexpected("--listen wants HOST:PORT, got " + value);
            options.host = value.substr(0, colon);
            if (options.host.size() > 2 && options.host.front() == '[' && options.host.back() == ']')
                options.host = options.host.substr(1, options.host.size() - 2);
            options.port = int(*port);
            listenGiven = true;
        } else if (flag == "--jobs") {
            auto n = number(1, 256);
            if (!n)
                return unexpected("--jobs wants a number from 1 to 256, got " + value);
            options.jobs = int(*n);
        } else if (flag == "--queue") {
            auto n = number(0, 10000);
            if (!n)
                return unexpected("--queue wants a number from 0 to 10000, got " + value);
            options.queue = int(*n);
        } else if (flag == "--max-body-mb") {
            auto n = number(1, 4096);
            if (!n)
                return unexpected("--max-body-mb wants a number from 1 to 4096, got " + value);
            options.maxBodyBytes = size_t(*n) << 20;
        } else if (flag == "--connections") {
            auto n = number(2, 4096);
            if (!n)
                return unexpected("--connections wants a number from 2 to 4096, got " + value);
            options.connections = int(*n);
        } else if (flag == "--upload-seconds") {
            auto n = number(1, 86400);
            if (!n)
                return unexpected("--upload-seconds wants a number from 1 to 86400, got " + value);
            options.uploadSeconds = int(*n);
        } else if (flag == "--token-file") {
            options.token = readToken(value);
            if (!options.token)
                return unexpected("cannot read a token from " + value);
        } else {
            return unexpected("unknown option " + flag);
        }
    }
    if (!listenGiven)
        return unexpected(std::string("--listen HOST:PORT is required"));
    return options;
}

} // namespace pelorin
