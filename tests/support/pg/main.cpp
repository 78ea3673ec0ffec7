// tolvex-test-pg start|stop DIR: the PostgreSQL server of one ctest run,
// started before the tests that need it and stopped after them; the test
// processes find it through DIR (see PgTestServer).
#include <cstdio>
#include <exception>
#include <string>

#include "support/PgTestServer.h"

int main(int argc, char** argv) {
    const std::string command = argc == 3 ? argv[1] : "";
    if (command != "start" && command != "stop") {
        std::fprintf(stderr, "usage: tolvex-test-pg start|stop DIR\n");
        return 2;
    }
    try {
        if (command == "start")
            PgTestServer::startInto(argv[2]);
        else
            PgTestServer::stopFrom(argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tolvex-test-pg %s: %s\n", command.c_str(), e.what());
        return 1;
    }
    return 0;
}
