#include "was/WaslistReader.h"

#include <expat.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace {

struct waslist_state_t {
    std::map<std::string, std::vector<std::string>>* values;
    int depth = 0;  // elements open inside the section; 0 while outside
    std::string tag;
    std::string text;
};

void onStart(void* data, const XML_Char* name, const XML_Char**) {
    auto* state = static_cast<waslist_state_t*>(data);
    if (state->depth == 0) {
        if (std::string(name) == "waslist") state->depth = 1;
        return;
    }
    ++state->depth;
    state->tag = name;
    state->text.clear();
}

void onEnd(void* data, const XML_Char*) {
    auto* state = static_cast<waslist_state_t*>(data);
    if (state->depth == 0) return;
    if (--state->depth == 0) return;
    if (!state->tag.empty()) {
        size_t first = state->text.find_first_not_of(" \t\r\n");
        size_t last = state->text.find_last_not_of(" \t\r\n");
        std::string value =
            first == std::string::npos ? std::string() : state->text.substr(first, last - first + 1);
        (*state->values)[state->tag].push_back(value);
    }
    // An enclosing element that only groups others adds nothing.
    state->tag.clear();
    state->text.clear();
}

void onText(void* data, const XML_Char* text, int len) {
    auto* state = static_cast<waslist_state_t*>(data);
    if (state->depth > 0) state->text.append(text, static_cast<size_t>(len));
}

struct ParserFree {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

}  // namespace

bool readWaslist(const std::string& path, std::map<std::string, std::vector<std::string>>& values,
                 std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    const std::string xml = content.str();

    std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser) {
        error = "cannot create an XML parser";
        return false;
    }
    waslist_state_t state;
    state.values = &values;
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(parser.get(), onStart, onEnd);
    XML_SetCharacterDataHandler(parser.get(), onText);
    if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_ERROR) {
        error = path + ":" + std::to_string(XML_GetCurrentLineNumber(parser.get())) + ": " +
                XML_ErrorString(XML_GetErrorCode(parser.get()));
        return false;
    }
    return true;
}
