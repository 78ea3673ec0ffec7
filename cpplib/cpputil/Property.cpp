#include "cpputil/Property.h"

#include <expat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

struct ParserFree {
    void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};
using ParserPtr = std::unique_ptr<XML_ParserStruct, ParserFree>;

struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

// What one read() knows while expat walks the document.
struct ParseContext {
    Property* target = nullptr;
    XML_Parser parser = nullptr;
    std::string section;
    bool inside = false;
    std::string tag;
    int tagLine = 0;
    std::string value;
    std::vector<std::pair<std::string, int>>* lines = nullptr;  // (name, line) per value set
};

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** /*attrs*/) {
    auto* ctx = static_cast<ParseContext*>(data);
    if (!ctx->inside && ctx->section == name) ctx->inside = true;
    if (ctx->inside) {
        ctx->tag = name;
        ctx->tagLine = static_cast<int>(XML_GetCurrentLineNumber(ctx->parser));
        ctx->value.clear();
    }
}

void XMLCALL onEnd(void* data, const XML_Char* name) {
    auto* ctx = static_cast<ParseContext*>(data);
    if (ctx->inside && ctx->section == name) ctx->inside = false;
    if (!ctx->inside) return;
    // An element that only groups others ends with no tag of its own.
    if (!ctx->tag.empty()) {
        ctx->target->set(ctx->tag, ctx->value);
        ctx->lines->emplace_back(ctx->tag, ctx->tagLine);
    }
    ctx->tag.clear();
    ctx->value.clear();
}

void XMLCALL onText(void* data, const XML_Char* text, int len) {
    auto* ctx = static_cast<ParseContext*>(data);
    ctx->value.append(text, static_cast<size_t>(len));
}

}  // namespace

bool Property::read(const char* path, const char* section) {
    if (path == nullptr || section == nullptr) return false;
    ParserPtr parser(XML_ParserCreate(nullptr));
    if (!parser) return false;
    FilePtr file(std::fopen(path, "rb"));
    if (!file) return false;

    std::vector<std::pair<std::string, int>> lines;
    ParseContext ctx;
    ctx.target = this;
    ctx.parser = parser.get();
    ctx.section = section;
    ctx.lines = &lines;
    XML_SetUserData(parser.get(), &ctx);
    XML_SetElementHandler(parser.get(), onStart, onEnd);
    XML_SetCharacterDataHandler(parser.get(), onText);

    char block[4096];
    bool ok = true;
    while (ok) {
        const size_t n = std::fread(block, 1, sizeof block, file.get());
        if (n == 0) break;
        ok = XML_Parse(parser.get(), block, static_cast<int>(n), XML_FALSE) == XML_STATUS_OK;
    }
    if (ok) ok = XML_Parse(parser.get(), nullptr, 0, XML_TRUE) == XML_STATUS_OK;
    // What was collected before a fault stays; the caller decides whether a
    // broken document may be used at all.
    m_parseError = ok ? "" : XML_ErrorString(XML_GetErrorCode(parser.get()));
    m_parseErrorLine = ok ? 0 : static_cast<int>(XML_GetCurrentLineNumber(parser.get()));
    for (const auto& [name, line] : lines) m_lines[name].push_back(line);
    return true;
}

int Property::lineOf(const std::string& name, size_t index) const {
    auto it = m_lines.find(name);
    return it == m_lines.end() || index >= it->second.size() ? 0 : it->second[index];
}

std::vector<std::string> Property::names() const {
    std::vector<std::string> out;
    for (const auto& [name, values] : m_map)
        if (!values.empty()) out.push_back(name);
    return out;
}

bool Property::set(const std::string& name, const std::string& value) {
    m_map[name].push_back(value);
    return true;
}

std::vector<std::string>& Property::operator[](const std::string& name) { return m_map[name]; }

const std::vector<std::string>* Property::find(const std::string& name) const {
    auto it = m_map.find(name);
    return it == m_map.end() || it->second.empty() ? nullptr : &it->second;
}

void Property::clear() {
    m_map.clear();
    m_lines.clear();
    m_parseError.clear();
    m_parseErrorLine = 0;
}
