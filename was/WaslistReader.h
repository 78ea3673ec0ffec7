#pragma once
// Reads the "waslist" section of the daemon's config.xml, so the WAS can be
// started on the very file the daemon uses and the two cannot disagree on
// page paths. A one-shot reader for main's thread.

#include <map>
#include <string>
#include <vector>

// Element name to its values in document order, surrounding white space
// removed. Returns false with error set when the file cannot be read or is
// not well-formed XML.
bool readWaslist(const std::string& path, std::map<std::string, std::vector<std::string>>& values,
                 std::string& error);
