#pragma once
// The boundary of every page: runs the page's work and turns whatever it
// throws into a reply header with a non-zero code, so no request can crash
// the service. Any thread.

#include <functional>
#include <string>

// build() returns the whole reply body. A RequestError becomes its own code
// and text; a database or any other failure becomes WAS_STORAGE_ERROR. Each
// refusal is logged on stderr with the page name.
std::string answerPage(const char* page, const std::function<std::string()>& build);
