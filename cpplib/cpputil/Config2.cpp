#include "cpputil/Config2.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>

#include "cpputil/HostUtil.h"
#include "cpputil/Property.h"

namespace {

constexpr int kConfigShortName = 'c';

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A whole decimal number within [minValue, maxValue]; atoi would take
// "ten" as 0 and "73x0" as 73.
bool toLong(std::string_view text, long minValue, long maxValue, long* out) {
    text = trimmed(text);
    long v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
    if (v < minValue || v > maxValue) return false;
    *out = v;
    return true;
}

std::string rangeText(long minValue, long maxValue) {
    if (minValue == INT_MIN && maxValue == INT_MAX) return "a whole number";
    if (maxValue == INT_MAX) return "a whole number from " + std::to_string(minValue);
    return "a whole number from " + std::to_string(minValue) + " to " + std::to_string(maxValue);
}

// "host:port" into *target; false (untouched) unless both parts convert.
bool setAddress(sockaddr_in* target, std::string_view text, std::string* why) {
    text = trimmed(text);
    const size_t colon = text.find(':');
    long port = 0;
    if (colon == std::string_view::npos || !toLong(text.substr(colon + 1), 0, 65535, &port)) {
        *why = "host:port with a port from 0 to 65535";
        return false;
    }
    sockaddr_in resolved{};
    if (!resolveHost(&resolved, std::string(text.substr(0, colon)).c_str())) {
        *why = "an address whose host resolves";
        return false;
    }
    target->sin_family = AF_INET;
    target->sin_addr = resolved.sin_addr;
    target->sin_port = htons(static_cast<uint16_t>(port));
    return true;
}

bool isShortLetter(int shortName) {
    return shortName > 0 && shortName <= UCHAR_MAX && std::isalnum(shortName);
}

}  // namespace

bool Config2::item_t::set(int index, const char* text, std::string* why) {
    std::string ignored;
    if (why == nullptr) why = &ignored;
    if (value == nullptr || index < 0) return true;
    if (text == nullptr) {
        // An option without an argument can only switch something on.
        if (type == BOOL) static_cast<bool*>(value)[index] = true;
        return true;
    }
    switch (type) {
    case INT: {
        long v = 0;
        if (!toLong(text, minValue, maxValue, &v)) {
            *why = rangeText(minValue, maxValue);
            return false;
        }
        static_cast<int*>(value)[index] = static_cast<int>(v);
        return true;
    }
    case BOOL: {
        const std::string_view t = trimmed(text);
        if (t != "true" && t != "false") {
            *why = "true or false";
            return false;
        }
        static_cast<bool*>(value)[index] = t == "true";
        return true;
    }
    case STRING:
        if (!choices.empty() && std::find(choices.begin(), choices.end(), text) == choices.end()) {
            *why = "one of";
            for (const std::string& c : choices) *why += " " + c;
            return false;
        }
        static_cast<std::string*>(value)[index] = text;
        return true;
    case IPADDRESS:
        return setAddress(static_cast<sockaddr_in*>(value) + index, text, why);
    case USER: {
        if (setconf == nullptr) return true;
        if (index == 0) m_userOffset = 0;
        const int advance = setconf(static_cast<char*>(value) + m_userOffset, name, text);
        if (advance > 0) m_userOffset += static_cast<size_t>(advance);
        return true;
    }
    }
    return true;
}

std::string Config2::item_t::text(int index) const {
    switch (type) {
    case INT:
        return std::to_string(static_cast<const int*>(value)[index]);
    case BOOL:
        return static_cast<const bool*>(value)[index] ? "true" : "false";
    case STRING:
        return static_cast<const std::string*>(value)[index];
    case IPADDRESS: {
        const sockaddr_in& a = static_cast<const sockaddr_in*>(value)[index];
        if (a.sin_family != AF_INET) return "";
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
        return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
    }
    case USER:
        break;
    }
    return "";
}

std::vector<std::pair<std::string, std::string>> Config2::settings() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const item_t& item : m_itemlist) {
        if (item.value == nullptr || item.type == USER) continue;
        if (item.listcount == nullptr) {
            out.emplace_back(item.name, item.text(0));
            continue;
        }
        for (int i = 0; i < *item.listcount; ++i)
            if (std::string t = item.text(i); !t.empty()) out.emplace_back(item.name, std::move(t));
    }
    return out;
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

bool Config2::setRange(const std::string& name, long minValue, long maxValue) {
    item_t* item = findByName(name);
    if (item == nullptr) return false;
    item->minValue = minValue;
    item->maxValue = maxValue;
    return true;
}

bool Config2::setChoices(const std::string& name, std::vector<std::string> choices) {
    item_t* item = findByName(name);
    if (item == nullptr) return false;
    item->choices = std::move(choices);
    return true;
}

Config2::item_t* Config2::findByName(const std::string& name) {
    for (item_t& item : m_itemlist)
        if (item.name == name) return &item;
    return nullptr;
}

Config2::item_t* Config2::findByShortName(int shortName) {
    for (item_t& item : m_itemlist) {
        if (item.shortName == shortName) return &item;
    }
    return nullptr;
}

bool Config2::parseArg(int argc, char** argv) {
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
            const std::string option = isShortLetter(optopt) ? std::string("-") + static_cast<char>(optopt)
                                                             : std::string(argv[optind - 1]);
            // getopt sets optopt to the option's number when only its value
            // is missing, and to 0 (or the unknown letter) otherwise.
            const bool known = optopt != 0 && (!isShortLetter(optopt) ||
                                               shortOptions.find(static_cast<char>(optopt)) != std::string::npos);
            m_errors.push_back("command line: " + option +
                               (known ? ": needs a value" : ": unknown option"));
            continue;
        }
        item_t* item = findByShortName(opt);
        if (item == nullptr ? opt == kConfigShortName : item->name == "config") {
            if (optarg != nullptr) m_confFile = optarg;
        }
        if (item == nullptr) continue;
        int& count = given[item];
        std::string why;
        const int index = item->listcount == nullptr ? 0 : count;
        if (item->listcount != nullptr && count >= *item->listcount) continue;
        if (!item->set(index, optarg, &why)) {
            m_errors.push_back("command line: --" + item->name + " \"" + (optarg ? optarg : "") +
                               "\": not " + why);
            continue;
        }
        count = index + 1;
    }

    for (int i = optind; i < argc; ++i) m_errors.push_back(std::string("command line: unexpected argument ") + argv[i]);
    for (auto& [item, count] : given) {
        if (item->listcount != nullptr) *item->listcount = count;
        m_fromCommandLine.insert(item->name);
    }
    m_itemlist.remove_if([&given](item_t& item) { return given.count(&item) != 0; });
    return true;
}

bool Config2::readConfig(int argc, char** argv, const char* section) {
    if (argc > 0 && argv != nullptr) parseArg(argc, argv);

    Property property;
    if (!property.read(m_confFile.c_str(), section)) {
        m_errors.push_back(m_confFile + ": cannot read: " + std::strerror(errno));
        return false;
    }
    if (!property.parseError().empty()) {
        m_errors.push_back(m_confFile + ":" + std::to_string(property.parseErrorLine()) +
                           ": not well-formed XML: " + property.parseError());
    }
    storeFileValues(property, section);
    property.clear();
    return true;
}

void Config2::storeFileValues(const Property& property, const char* section) {
    const auto where = [&](const std::string& name, size_t i) {
        return m_confFile + ":" + std::to_string(property.lineOf(name, i)) + ": <" + name + ">";
    };
    for (const std::string& name : property.names()) {
        const bool known = m_fromCommandLine.count(name) != 0 ||
                           std::any_of(m_itemlist.begin(), m_itemlist.end(),
                                       [&](const item_t& item) { return item.name == name; });
        if (!known) m_warnings.push_back(where(name, 0) + ": unknown in <" + section + ">, ignored");
    }
    for (item_t& item : m_itemlist) {
        const std::vector<std::string>* values = property.find(item.name);
        if (values == nullptr) continue;
        int n = 1;
        if (item.listcount != nullptr) {
            n = std::max(0, std::min(static_cast<int>(values->size()), *item.listcount));
            *item.listcount = n;
            for (size_t i = static_cast<size_t>(n); i < values->size(); ++i)
                m_warnings.push_back(where(item.name, i) + ": more than " + std::to_string(n) +
                                     " entries, ignored");
        }
        for (int i = 0; i < n; ++i) {
            std::string why;
            if (!item.set(i, (*values)[i].c_str(), &why))
                m_errors.push_back(where(item.name, static_cast<size_t>(i)) + " \"" + (*values)[i] + "\": not " + why);
        }
    }
}
