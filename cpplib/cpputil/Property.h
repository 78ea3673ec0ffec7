#pragma once
// The values of one section of an XML configuration file: element name ->
// its texts in document order. Owned by whoever reads (Config2 keeps one per
// read). One thread per object; the parse state lives in each read() call,
// so separate objects may read at the same time.

#include <map>
#include <string>
#include <utility>
#include <vector>

class Property {
public:
    Property() = default;
    Property(const Property&) = delete;
    Property& operator=(const Property&) = delete;

    // Adds the character data of every element inside each `section` element
    // of the file at path (any depth, attributes ignored) under the element's
    // name. False only when the file cannot be opened; malformed XML keeps
    // the values collected before the fault and leaves parseError() set.
    bool read(const char* path, const char* section);
    // Expat's reason a file is not well-formed XML, and the line where it
    // saw the fault; empty and 0 otherwise.
    const std::string& parseError() const { return m_parseError; }
    int parseErrorLine() const { return m_parseErrorLine; }
    // The line where the index-th value of name starts; 0 when unknown.
    int lineOf(const std::string& name, size_t index) const;
    // Every element name that has values, in name order.
    std::vector<std::string> names() const;
    // Appends value to the values of name; returns true.
    bool set(const std::string& name, const std::string& value);
    // The values of name (created empty when absent).
    std::vector<std::string>& operator[](const std::string& name);
    // The values of name, or null when it has none.
    const std::vector<std::string>* find(const std::string& name) const;
    void clear();

    // The elements of the file at path that neither stand inside one of
    // sections nor hold one (a misspelt section, a key outside every
    // section), with their lines, in document order. Empty when the file
    // cannot be read; what comes after an XML fault is not seen.
    static std::vector<std::pair<std::string, int>> strayElements(const char* path,
                                                                   const std::vector<std::string>& sections);

private:
    std::map<std::string, std::vector<std::string>> m_map;
    std::map<std::string, std::vector<int>> m_lines;  // parallel to m_map's values
    std::string m_parseError;
    int m_parseErrorLine = 0;
};
