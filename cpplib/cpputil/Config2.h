#pragma once
// Binds configuration keys to program variables and fills them from the
// command line and one section of an XML file. Owned by the code that reads
// configuration; one thread at a time (getopt_long has process-wide state).

#include <list>
#include <string>
#include <vector>

class Config2 {
public:
    enum type_t { INT, BOOL, STRING, IPADDRESS, USER };
    // Stores text at value in whatever form it likes; returns how many bytes
    // the value pointer advances before the next list element.
    using setconf_t = int (*)(void* value, const std::string& name, const std::string& text);

    struct item_t {
        std::string name;        // element name and long option
        int shortName = 0;       // option letter, or an automatic number
        type_t type = STRING;
        bool hasArg = true;
        void* value = nullptr;   // int/bool/std::string/sockaddr_in (array when a list)
        int* listcount = nullptr;  // in: capacity, out: values stored; null for one value
        setconf_t setconf = nullptr;
        // Stores text as element index of the target (see the header of
        // setValue). USER elements must be stored in order from index 0.
        void set(int index, const char* text);

    private:
        size_t m_userOffset = 0;  // where the next USER element goes
    };

    Config2() = default;
    Config2(const Config2&) = delete;
    Config2& operator=(const Config2&) = delete;

    // Declares a key. INT: atoi. BOOL: true exactly for "true". STRING: the
    // text unchanged. IPADDRESS: "host:port", host resolved (dotted or name),
    // port in network order; a text without ":" or with an unresolvable host
    // leaves the target untouched. USER: setconf. shortName 0 takes the next
    // automatic number (123, 124, ... per object). Returns true.
    bool setValue(const std::string& name, int shortName, bool hasArg, type_t type, void* value,
                  int* listcount = nullptr, setconf_t setconf = nullptr);

    // parseArg (unless argc is 0 or argv null), then the file's section:
    // every key still declared takes its first value, or with a listcount
    // min(values, capacity) values and *listcount = that number. Keys absent
    // from the file are untouched. False (nothing read) when the file cannot
    // be opened.
    bool readConfig(int argc, char** argv, const char* section);

    // Stores every declared option found in argv and drops its item, so the
    // file cannot override it. -c/--config PATH always selects the file.
    // Options that match nothing go to unknownOptions(). Returns true.
    bool parseArg(int argc, char** argv);

    void setConfFile(const std::string& path) { m_confFile = path; }
    const std::string& confFile() const { return m_confFile; }
    // Drops all declared keys so the object can read the next section.
    void clearItems() { m_itemlist.clear(); }
    // Options of the last parseArg that matched no key (or lacked their value).
    const std::vector<std::string>& unknownOptions() const { return m_unknownOptions; }

private:
    item_t* findByShortName(int shortName);

    std::string m_confFile;
    std::list<item_t> m_itemlist;  // in declaration order
    int m_lastAutoShortName = 122;  // automatic numbers never clash with letters or digits
    std::vector<std::string> m_unknownOptions;
};
