#include "cpputil/Property.h"

#include <expat.h>

#include <algorithm>
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

// One open element outside the known sections, while strayElements walks.
struct OpenElement {
    std::string name;
    int line = 0;
    bool holdsSection = false;
};

struct StrayContext {
    XML_Parser parser = nullptr;
    const std::vector<std::string>* sections = nullptr;
    std::vector<OpenElement> open;  // outside every section, outermost first
    int sectionDepth = 0;           // > 0 inside a known section
    std::vector<std::pair<std::string, int>> stray;
};

void XMLCALL onStrayStart(void* data, const XML_Char* name, const XML_Char** /*attrs*/) {
    auto* ctx = static_cast<StrayContext*>(data);
    if (ctx->sectionDepth > 0) {
        ++ctx->sectionDepth;
        return;
    }
    for (const std::string& section : *ctx->sections) {
        if (section != name) continue;
        for (OpenElement& e : ctx->open) e.holdsSection = true;
        ctx->sectionDepth = 1;
        return;
    }
    ctx->open.push_back({name, static_cast<int>(XML_GetCurrentLineNumber(ctx->parser)), false});
}

void XMLCALL onStrayEnd(void* data, const XML_Char* /*name*/) {
    auto* ctx = static_cast<StrayContext*>(data);
    if (ctx->sectionDepth > 0) {
        --ctx->sectionDepth;
        return;
    }
    if (ctx->open.empty()) return;
    if (!ctx->open.back().holdsSection) ctx->stray.emplace_back(ctx->open.back().name, ctx->open.back().line);
    ctx->open.pop_back();
}

}  // namespace

std::vector<std::pair<std::string, int>> Property::strayElements(const char* path,
                                                                 const std::vector<std::string>& sections) {
    ParserPtr parser(XML_ParserCreate(nullptr));
    FilePtr file(path ? std::fopen(path, "rb") : nullptr);
    if (!parser || !file) return {};
    StrayContext ctx;
    ctx.parser = parser.get();
    ctx.sections = &sections;
    XML_SetUserData(parser.get(), &ctx);
    XML_SetElementHandler(parser.get(), onStrayStart, onStrayEnd);
    char block[4096];
    size_t n = 0;
    while ((n = std::fread(block, 1, sizeof block, file.get())) > 0)
        if (XML_Parse(parser.get(), block, static_cast<int>(n), XML_FALSE) != XML_STATUS_OK) return ctx.stray;
    XML_Parse(parser.get(), nullptr, 0, XML_TRUE);
    // Inner elements end first; the document's order reads better.
    std::stable_sort(ctx.stray.begin(), ctx.stray.end(),
                     [](const auto& a, const auto& b) { return a.second < b.second; });
    return ctx.stray;
}

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
