#pragma once
// Binds configuration keys to program variables and fills them from the
// command line and one section of an XML file. Owned by the code that reads
// configuration; one thread at a time (getopt_long has process-wide state).

#include <climits>
#include <list>
#include <set>
#include <string>
#include <utility>
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
        long minValue = INT_MIN;  // INT only: the range a value must fall in
        long maxValue = INT_MAX;
        std::vector<std::string> choices;  // STRING only: the texts allowed, when not empty
        // Stores text as element index of the target (see the header of
        // setValue). USER elements must be stored in order from index 0.
        // False, with the target untouched and *why set, when the text does
        // not convert whole.
        bool set(int index, const char* text, std::string* why = nullptr);
        // Element index of the target as text, in the form set() takes.
        std::string text(int index) const;

    private:
        size_t m_userOffset = 0;  // where the next USER element goes
    };

    Config2() = default;
    Config2(const Config2&) = delete;
    Config2& operator=(const Config2&) = delete;

    // Declares a key. INT: a whole decimal number within the key's range
    // (setRange). BOOL: "true" or "false". STRING: the text unchanged.
    // IPADDRESS: "host:port", host resolved (dotted or name), port 0..65535
    // in network order. Surrounding white space is allowed but for STRING.
    // USER: setconf. A text that does not convert is an error and leaves
    // the target untouched. shortName 0 takes the next automatic number
    // (123, 124, ... per object). Returns true.
    bool setValue(const std::string& name, int shortName, bool hasArg, type_t type, void* value,
                  int* listcount = nullptr, setconf_t setconf = nullptr);
    // Limits the values of the INT key name; false when no such key.
    bool setRange(const std::string& name, long minValue, long maxValue);
    // Limits the STRING key name to the given texts; false when no such key.
    bool setChoices(const std::string& name, std::vector<std::string> choices);

    // parseArg (unless argc is 0 or argv null), then the file's section:
    // every key still declared takes its first value, or with a listcount
    // min(values, capacity) values and *listcount = that number. Keys absent
    // from the file are untouched. False (nothing read) when the file cannot
    // be opened. A file that is not well-formed XML, a value that does not
    // convert and an option that matches no key are errors(); values
    // beyond a list's capacity and elements of the section that match no
    // key are warnings(). Each names the file and line, or the option.
    bool readConfig(int argc, char** argv, const char* section);

    // Stores every declared option found in argv and drops its item, so the
    // file cannot override it. -c/--config PATH always selects the file.
    // Options that match nothing, or lack their value, are errors. Returns
    // true.
    bool parseArg(int argc, char** argv);

    void setConfFile(const std::string& path) { m_confFile = path; }
    const std::string& confFile() const { return m_confFile; }
    // Every declared key with the value its target holds now, in
    // declaration order; a list key once per value held (empty texts left
    // out). USER keys are left out: only their setconf knows their form.
    std::vector<std::pair<std::string, std::string>> settings() const;
    // Drops all declared keys so the object can read the next section.
    void clearItems() { m_itemlist.clear(); }
    // What the reads so far found wrong, in the order found.
    const std::vector<std::string>& errors() const { return m_errors; }
    const std::vector<std::string>& warnings() const { return m_warnings; }

private:
    item_t* findByShortName(int shortName);
    item_t* findByName(const std::string& name);
    void storeFileValues(const class Property& property, const char* section);

    std::string m_confFile;
    std::list<item_t> m_itemlist;  // in declaration order
    int m_lastAutoShortName = 122;  // automatic numbers never clash with letters or digits
    std::set<std::string> m_fromCommandLine;  // keys the command line set: known, not re-read
    std::vector<std::string> m_errors;
    std::vector<std::string> m_warnings;
};
