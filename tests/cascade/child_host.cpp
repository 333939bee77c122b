// A host program for the two-process cascade test: it runs one library
// instance (linked against libkvoapi.so, as a host is) in the folder named
// by its argument, where the test put a tool.ini, and does what its standard
// input asks, one command a line, answering one line each on standard output:
//
//   addr <host> <port>              -> "addr <result>"           (KvoRegisterAddr "USH")
//   login <user> <password>         -> "login <code> <statusmsg as hex>"
//   codelist <market>               -> "codelist <length> <text>" or "codelist null"
//   stock <market> <codelist>       -> "stock <count> <codes>" or "stock null"
//   sub <class> <op> <market> <codelist> -> "sub <result>"
//   wait <class> <records> <ms>     -> "data <class> <records> <codes>" once that many
//                                      records of the class arrived, else "timeout ..."
//   gap <class>                     -> "gap <ms> <records>": the longest time between two
//                                      batches of the class, and the records so far
//   quit                            -> releases the instance, "bye", exit code 0
//
// Codes are listed separated by "," in the order they arrived.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "include/kvo_records.h"
#include "include/kvoapi.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_arrived;
std::map<int, std::vector<std::string>> g_codes;
std::map<int, std::chrono::steady_clock::time_point> g_lastBatch;
std::map<int, int64_t> g_longestGapMs;

std::string CodeAt(const void* records, size_t size, uint32_t i) {
    const char* code = static_cast<const char*>(records) + size_t(i) * size + 5;
    return std::string(code, strnlen(code, 16));
}

template <int C, size_t Size>
int32_t OnData(void*, const void* records, uint32_t count, const PushTiming*) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_lastBatch.count(C) != 0) {
        const int64_t gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - g_lastBatch[C]).count();
        g_longestGapMs[C] = std::max(g_longestGapMs[C], gap);
    }
    g_lastBatch[C] = now;
    for (uint32_t i = 0; i < count; ++i) g_codes[C].push_back(CodeAt(records, Size, i));
    g_arrived.notify_all();
    return 0;
}

std::string Join(const std::vector<std::string>& codes) {
    std::string out;
    for (const std::string& c : codes) out += (out.empty() ? "" : ",") + c;
    return out;
}

std::string Hex(const char* text) {
    std::string out;
    char buf[3];
    for (const char* p = text; *p; ++p) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(*p));
        out += buf;
    }
    return out;
}

void Say(const std::string& line) {
    std::cout << line << std::endl;  // flushed: the test reads line by line
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || chdir(argv[1]) != 0) {
        std::fprintf(stderr, "usage: %s <folder with tool.ini>\n", argv[0]);
        return 2;
    }
    InstanceConfig cfg;
    InstanceConfig_SetDefaults(&cfg);
    std::snprintf(cfg.m_logpath, sizeof cfg.m_logpath, "%s", argv[1]);
    cfg.m_loglevel = 5;
    cfg.fnctickindex = &OnData<1, KVO_TICKINDEX_SIZE>;
    cfg.fnctickstock = &OnData<2, KVO_TICKSTOCK_SIZE>;
    cfg.fncsuperstock = &OnData<6, KVO_SUPERSTOCK_SIZE>;
    void* h = KvoCreateInstance(&cfg);
    if (h == nullptr) return 3;

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "addr") {
            std::string host;
            unsigned port = 0;
            in >> host >> port;
            Say("addr " + std::to_string(KvoRegisterAddr(h, "USH", host.c_str(), uint16_t(port))));
        } else if (cmd == "login") {
            std::string user, password;
            in >> user >> password;
            LoginResult* r = KvoLogin(h, user.c_str(), password.c_str());
            Say(r ? "login " + std::to_string(r->nstatuscode) + " " + Hex(r->statusmsg) : "login null");
            KvoFreeMem(r);
        } else if (cmd == "codelist") {
            std::string market;
            in >> market;
            uint32_t n = 0;
            char* text = KvoGetCodelist(h, market.c_str(), &n);
            Say(text ? "codelist " + std::to_string(n) + " " + std::string(text, n) : "codelist null");
            if (text) KvoFreeMem(text);
        } else if (cmd == "stock") {
            std::string market, codelist;
            in >> market >> codelist;
            uint32_t n = 0;
            TickStock* records = KvoGetTickStock(h, market.c_str(), codelist.c_str(), &n);
            std::vector<std::string> codes;
            for (uint32_t i = 0; records && i < n; ++i) codes.push_back(CodeAt(records, KVO_TICKSTOCK_SIZE, i));
            Say(records ? "stock " + std::to_string(n) + " " + Join(codes) : "stock null");
            if (records) KvoFreeMem(records);
        } else if (cmd == "sub") {
            unsigned cls = 0, op = 0;
            std::string market, codelist;
            in >> cls >> op >> market >> codelist;
            Say("sub " + std::to_string(KvoSubScribe(h, cls, op, market.c_str(), codelist.c_str())));
        } else if (cmd == "wait") {
            int cls = 0;
            size_t records = 0;
            int ms = 0;
            in >> cls >> records >> ms;
            std::unique_lock<std::mutex> lock(g_mutex);
            const bool got =
                g_arrived.wait_for(lock, std::chrono::milliseconds(ms), [&] { return g_codes[cls].size() >= records; });
            Say(std::string(got ? "data " : "timeout ") + std::to_string(cls) + " " +
                std::to_string(g_codes[cls].size()) + " " + Join(g_codes[cls]));
        } else if (cmd == "gap") {
            int cls = 0;
            in >> cls;
            std::lock_guard<std::mutex> lock(g_mutex);
            Say("gap " + std::to_string(g_longestGapMs[cls]) + " " + std::to_string(g_codes[cls].size()));
        } else if (cmd == "quit") {
            break;
        } else {
            Say("unknown " + cmd);
        }
    }
    KvoReleaseInstance(h);
    Say("bye");
    return 0;
}
