// kov-config-service: a stand-in for the gateway's data service. Answers the
// JSON-RPC method "get_config" from a JSON file that maps each installation
// identifier to its "result" object. Every request body is printed to
// standard output, so tests can check the exact text the daemon sent.
#include <httplib.h>
#include <json/json.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

namespace {

httplib::Server* gServer = nullptr;

void onStop(int) {
    if (gServer) gServer->stop();
}

void usage(const char* name) {
    std::cout << "Usage: " << name << " --config FILE [--port N]\n"
              << "  Serves \"get_config\" on http://127.0.0.1:N/ (default 8082) from FILE,\n"
              << "  a JSON object {\"<id>\": { result object }, ...}.\n";
}

std::string compact(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

Json::Value errorReply(const Json::Value& id, int code, const std::string& message) {
    Json::Value reply(Json::objectValue);
    reply["jsonrpc"] = "2.0";
    reply["id"] = id;
    reply["error"]["code"] = code;
    reply["error"]["message"] = message;
    return reply;
}

}  // namespace

int main(int argc, char** argv) {
    std::string configPath;
    int port = 8082;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--config" && i + 1 < argc) {
            configPath = argv[++i];
        } else if (a == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else if (a == "--help" || a == "-h") {
            usage(argv[0]);
            return 0;
        } else {
            usage(argv[0]);
            return 1;
        }
    }
    if (configPath.empty()) {
        usage(argv[0]);
        return 1;
    }
    Json::Value config;
    {
        std::ifstream in(configPath);
        Json::CharReaderBuilder rb;
        std::string errs;
        if (!in || !Json::parseFromStream(rb, in, &config, &errs) || !config.isObject()) {
            std::cerr << "kov-config-service: cannot read configuration " << configPath << ": "
                      << errs << std::endl;
            return 1;
        }
    }

    httplib::Server server;
    server.Post("/", [&config](const httplib::Request& req, httplib::Response& res) {
        std::cout << req.body << std::flush;
        if (req.body.empty() || req.body.back() != '\n') std::cout << std::endl;
        Json::Value request;
        Json::CharReaderBuilder rb;
        std::string errs;
        std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
        Json::Value reply;
        if (!reader->parse(req.body.data(), req.body.data() + req.body.size(), &request, &errs) ||
            !request.isObject()) {
            reply = errorReply(Json::Value(), -32700, "Parse error");
        } else if (request.get("method", "").asString() != "get_config") {
            reply = errorReply(request["id"], -32601, "Method not found");
        } else {
            const Json::Value& params = request["params"];
            std::string id = params.isObject() && params["heat_meter"].isString()
                                 ? params["heat_meter"].asString()
                                 : std::string();
            if (id.empty() || !config.isMember(id)) {
                reply = errorReply(request["id"], -32602, "Unknown heat meter \"" + id + "\"");
            } else {
                reply["jsonrpc"] = "2.0";
                reply["id"] = request["id"];
                reply["result"] = config[id];
            }
        }
        res.set_content(compact(reply), "application/json");
    });

    // No SO_REUSEPORT: a second service on the port must fail, not share it.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    gServer = &server;
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
    if (!server.bind_to_port("127.0.0.1", port)) {
        std::cerr << "kov-config-service: port " << port << " on 127.0.0.1 is busy" << std::endl;
        return 1;
    }
    std::cout << "kov-config-service: listening on 127.0.0.1:" << port << std::endl;
    server.listen_after_bind();
    return 0;
}
