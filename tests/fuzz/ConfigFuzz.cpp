// libFuzzer target: the daemon's configuration check on an arbitrary file
// and command line. Input: a count byte (0-3 options), that many
// zero-terminated option texts, then the bytes of config.xml. The file
// lives in a folder of its own that is the working directory; option texts
// lose their slashes, so -c can name only files in that folder (a fuzzed
// /dev/stdin would block the run). Names resolve offline: only numeric
// addresses do. Give libFuzzer absolute paths: the working directory
// changes before it reads its corpus. Besides the sanitizers it checks that an accepted
// configuration holds its declared ranges and list bounds.

#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tolvex/util/ChatConfig.h"
#include "tolvex/util/WasServerTable.h"

// The configuration reader resolves host names through getaddrinfo; a
// fuzzed name would otherwise wait on DNS for seconds.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
    using real_t = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "getaddrinfo"));
    addrinfo numeric = hints ? *hints : addrinfo{};
    numeric.ai_flags |= AI_NUMERICHOST;
    return real(node, service, &numeric, res);
}

namespace {

void require(bool holds) {
    if (!holds) std::abort();
}

void checkAccepted(const ConfigValues& v) {
    require(v.serverId >= 0 && v.serverId <= 65535);
    require(v.was_count >= 0 && v.was_count <= WasServerTable::kCapacity);
    require(v.timeout_count >= 0 && v.timeout_count <= ConfigValues::kMaxTenants);
    require(v.tenant_size >= 0 && v.pingcycle >= 1 && v.ghostpingcycle >= 1);
    require(v.tracelevel >= 0 && v.tracelevel <= 5);
    require(v.iotype == "select" || v.iotype == "poll" || v.iotype == "epoll");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char folder[] = "/tmp/tolvex-config-fuzz-XXXXXX";
    if (!mkdtemp(folder) || chdir(folder) != 0) std::abort();
    // The folder holds config.xml only: nothing of a run stays behind.
    std::atexit([] {
        std::remove("config.xml");
        rmdir(folder);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const auto* text = reinterpret_cast<const char*>(data);
    size_t at = 1;
    std::vector<std::string> options = {"tolvexd"};
    for (int i = 0; i < data[0] % 4 && at < size; ++i) {
        const size_t end = std::find(text + at, text + size, '\0') - text;
        std::string option(text + at, end - at);
        std::replace(option.begin(), option.end(), '/', '_');
        options.push_back(std::move(option));
        at = std::min(end + 1, size);
    }
    FILE* file = std::fopen("config.xml", "wb");
    if (!file) std::abort();
    std::fwrite(text + at, 1, size - at, file);
    std::fclose(file);

    std::vector<char*> argv;
    for (std::string& option : options) argv.push_back(option.data());
    argv.push_back(nullptr);
    ConfigValues v;
    ConfigReport report;
    ChatConfig::check(static_cast<int>(options.size()), argv.data(), v, report);
    if (!report.errors.empty()) return 0;
    checkAccepted(v);
    ChatConfig::checkStart(v, report);
    (void)ChatConfig::settingLines(v);
    std::array<room_timout_info, ConfigValues::kMaxTenants> tenants;
    ChatConfig::convertTimoutInfo(v.timeout_list.data(), v.timeout_count, tenants);
    return 0;
}
