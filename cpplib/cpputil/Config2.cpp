#include "cpputil/Config2.h"

#include <getopt.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <string_view>

#include "cpputil/HostUtil.h"
#include "cpputil/Property.h"

namespace {

constexpr int kConfigShortName = 'c';

// atoi without its undefined behaviour on overflow: clamps to the int range.
int toInt(const char* text) {
    const long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// "host:port" into *target; untouched without ":" or when host does not resolve.
void setAddress(sockaddr_in* target, const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return;
    sockaddr_in resolved{};
    if (!resolveHost(&resolved, text.substr(0, colon).c_str())) return;
    target->sin_family = AF_INET;
    target->sin_addr = resolved.sin_addr;
    target->sin_port = htons(static_cast<uint16_t>(toInt(text.c_str() + colon + 1)));
}

bool isShortLetter(int shortName) {
    return shortName > 0 && shortName <= UCHAR_MAX && std::isalnum(shortName);
}

}  // namespace

void Config2::item_t::set(int index, const char* text) {
    if (value == nullptr || index < 0) return;
    if (text == nullptr) {
        // An option without an argument can only switch something on.
        if (type == BOOL) static_cast<bool*>(value)[index] = true;
        return;
    }
    switch (type) {
    case INT:
        static_cast<int*>(value)[index] = toInt(text);
        break;
    case BOOL:
        static_cast<bool*>(value)[index] = std::string_view(text) == "true";
        break;
    case STRING:
        static_cast<std::string*>(value)[index] = text;
        break;
    case IPADDRESS:
        setAddress(static_cast<sockaddr_in*>(value) + index, text);
        break;
    case USER: {
        if (setconf == nullptr) break;
        if (index == 0) m_userOffset = 0;
        const int advance = setconf(static_cast<char*>(value) + m_userOffset, name, text);
        if (advance > 0) m_userOffset += static_cast<size_t>(advance);
        break;
    }
    }
}

bool Config2::setValue(const std::string& name, int shortName, bool hasArg, type_t type,
                       void* value, int* listcount, setconf_t setconf) {
    item_t item;
    item.name = name;
    item.shortName = shortName != 0 ? shortName : ++m_lastAutoShortName;
    item.type = type;
    item.hasArg = hasArg;
    item.value = value;
    item.listcount = listcount;
    item.setconf = setconf;
    m_itemlist.push_back(std::move(item));
    return true;
}

Config2::item_t* Config2::findByShortName(int shortName) {
    for (item_t& item : m_itemlist) {
        if (item.shortName == shortName) return &item;
    }
    return nullptr;
}

bool Config2::parseArg(int argc, char** argv) {
    m_unknownOptions.clear();
    if (argc <= 0 || argv == nullptr) return true;

    std::vector<option> longOptions;
    std::string shortOptions = "c:";
    bool haveConfigItem = false;
    for (const item_t& item : m_itemlist) {
        longOptions.push_back({item.name.c_str(), item.hasArg ? required_argument : no_argument,
                               nullptr, item.shortName});
        if (item.name == "config") haveConfigItem = true;
        if (isShortLetter(item.shortName) && item.shortName != kConfigShortName) {
            shortOptions += static_cast<char>(item.shortName);
            if (item.hasArg) shortOptions += ':';
        }
    }
    if (!haveConfigItem) longOptions.push_back({"config", required_argument, nullptr, 'c'});
    longOptions.push_back({nullptr, 0, nullptr, 0});

    // Values given per item, so list options fill successive elements.
    std::map<item_t*, int> given;
    optind = 0;  // full re-initialisation: parseArg may run more than once
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) !=
           -1) {
        if (opt == '?') {
            m_unknownOptions.push_back(isShortLetter(optopt)
                                           ? std::string("-") + static_cast<char>(optopt)
                                           : std::string(argv[optind - 1]));
            continue;
        }
        item_t* item = findByShortName(opt);
        if (item == nullptr ? opt == kConfigShortName : item->name == "config") {
            if (optarg != nullptr) m_confFile = optarg;
        }
        if (item == nullptr) continue;
        int& count = given[item];
        if (item->listcount == nullptr) {
            item->set(0, optarg);
            count = 1;
        } else if (count < *item->listcount) {
            item->set(count++, optarg);
        }
    }

    for (auto& [item, count] : given) {
        if (item->listcount != nullptr) *item->listcount = count;
    }
    m_itemlist.remove_if([&given](item_t& item) { return given.count(&item) != 0; });
    return true;
}

bool Config2::readConfig(int argc, char** argv, const char* section) {
    if (argc > 0 && argv != nullptr) parseArg(argc, argv);

    Property property;
    if (!property.read(m_confFile.c_str(), section)) return false;

    for (item_t& item : m_itemlist) {
        const std::vector<std::string>* values = property.find(item.name);
        if (values == nullptr) continue;
        int n = 1;
        if (item.listcount != nullptr) {
            n = std::min(static_cast<int>(values->size()), *item.listcount);
            if (n < 0) n = 0;
            *item.listcount = n;
        }
        for (int i = 0; i < n; ++i) item.set(i, (*values)[i].c_str());
    }
    property.clear();
    return true;
}
