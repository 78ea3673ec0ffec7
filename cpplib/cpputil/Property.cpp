#include "cpputil/Property.h"

#include <expat.h>

#include <cstdio>
#include <cstring>
#include <memory>

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
    std::string section;
    bool inside = false;
    std::string tag;
    std::string value;
};

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** /*attrs*/) {
    auto* ctx = static_cast<ParseContext*>(data);
    if (!ctx->inside && ctx->section == name) ctx->inside = true;
    if (ctx->inside) {
        ctx->tag = name;
        ctx->value.clear();
    }
}

void XMLCALL onEnd(void* data, const XML_Char* name) {
    auto* ctx = static_cast<ParseContext*>(data);
    if (ctx->inside && ctx->section == name) ctx->inside = false;
    if (!ctx->inside) return;
    // An element that only groups others ends with no tag of its own.
    if (!ctx->tag.empty()) ctx->target->set(ctx->tag, ctx->value);
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

    ParseContext ctx;
    ctx.target = this;
    ctx.section = section;
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
    // A document cut short is not an error here: what was collected stays.
    if (ok) XML_Parse(parser.get(), nullptr, 0, XML_TRUE);
    return true;
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

void Property::clear() { m_map.clear(); }
