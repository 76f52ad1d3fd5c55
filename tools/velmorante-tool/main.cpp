#include <cstdio>
#include <cstring>
#include <string>

#include "tools/velmorante-tool/tool.h"
#include "build_config.h"
#include "foundation/json.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "foundation/text.h"
#include "foundation/system_dlls_win.h"
#endif

namespace {

const ToolCommand kCommands[] = {
    {"json", "", "read a JSON document on standard input, write its compact form", runJson},

    // links and engine documents
    {"link", "LINK", "take a vless:// link apart, as the client reads it", runLink},
    {"xray", "--adapter NAME [--rest LINK --rest-port N] [--apps LINK --apps-port N]",
     "write the xray document for these routes", runXray},
    {"singbox", "--adapter NAME [--rest-port N] [--apps-port N] [--app NAME]...",
     "write the sing-box document (tun.json) for these routes", runSingBox},

    // service documents
    {"profile", "", "read a service document on standard input, write the profile and offer taken from it",
     runProfile},

    // engine payloads
#ifndef _WIN32
    {"pack", "IN OUT", "pack a file into an LZMS payload container, as the build packs the engines", runPack},
#endif
    {"unpack", "IN OUT", "decode an LZMS payload container with our own decoder and write the original", runUnpack},

    // the machine, as the tunnel start sees it
#ifdef _WIN32
    {"adapters", "", "list the network adapters and what the tunnel start makes of them", runAdapters},
    {"conflicts", "[--clear]",
     "show conflicting programs, WireGuard services and a loopback system proxy; --clear clears them first",
     runConflicts},

    // the headless client
    {"connect", "[--refresh SECONDS] [DOCUMENT]",
     "connect as the program does, with DOCUMENT (a service document file) or the service's own; one JSON line "
     "per state change; disconnects when standard input ends or on Ctrl+C (exit 0 if the tunnel ran)",
     runConnect},
    {"servers", "DOCUMENT", "time the document's servers as the connect procedure does and print the chosen link",
     runServers},
    {"fetch-profile", "", "ask the service once for the service document and print it verified", runFetchProfile},
#endif

};

void printUsage(FILE* to) {
    std::fprintf(to, "velmorante-tool %s: diagnostics for support staff and service operators\n\n",
                 vlm::build::kVersion);
    std::fprintf(to, "usage: velmorante-tool COMMAND [ARGUMENTS]\n\ncommands:\n");
    for (const ToolCommand& c : kCommands) {
        std::string line = std::string(c.name) + (*c.usage ? " " : "") + c.usage;
        std::fprintf(to, "  %s\n      %s\n", line.c_str(), c.summary);
    }
    std::fprintf(to, "\nexit codes: 0 done, 1 the input was refused, 2 bad command or arguments\n");
}

int runTool(const ToolArgs& all) {
    if (all.empty()) {
        printUsage(stderr);
        return kExitUsage;
    }
    const std::string& name = all[0];
    if (name == "--help" || name == "-h" || name == "help") {
        printUsage(stdout);
        return kExitOk;
    }
    for (const ToolCommand& c : kCommands) {
        if (name == c.name) return c.run(ToolArgs(all.begin() + 1, all.end()));
    }
    writeError("velmorante-tool: unknown command: " + name);
    printUsage(stderr);
    return kExitUsage;
}

}  // namespace

bool readStandardInput(std::string& out) {
    out.clear();
    char buf[65536];
    for (;;) {
        const size_t n = std::fread(buf, 1, sizeof buf, stdin);
        out.append(buf, n);
        if (n < sizeof buf) return !std::ferror(stdin);
    }
}

void writeStandardOutput(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

bool readJsonDocument(JsonValue& out) {
    std::string input;
    if (!readStandardInput(input)) {
        writeError("cannot read standard input");
        return false;
    }
    if (!parseJson(input, out)) {
        writeError("invalid JSON");
        return false;
    }
    return true;
}

void writeError(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

int usageError(const char* commandName) {
    for (const ToolCommand& c : kCommands) {
        if (std::strcmp(c.name, commandName) == 0) {
            writeError(std::string("usage: velmorante-tool ") + c.name + (*c.usage ? " " : "") + c.usage);
        }
    }
    return kExitUsage;
}

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    // Its client starts engines, as administrator when run so: System32 only, never its own folder.
    if (!restrictLibrarySearch()) return 1;
    // Documents are bytes: no CR LF translation on either stream.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    ToolArgs args;
    for (int i = 1; i < argc; ++i) args.push_back(wideToUtf8(argv[i]));
    return runTool(args);
}
#else
int main(int argc, char** argv) {
    ToolArgs args(argv + 1, argv + argc);
    return runTool(args);
}
#endif
