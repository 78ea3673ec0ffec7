#include "was/PageAnswer.h"

#include <cstdio>
#include <exception>

#include "was/PgConnection.h"
#include "was/RequestError.h"
#include "was/SqliteStatement.h"
#include "was/WasReply.h"

namespace {

std::string refuse(const char* page, uint16_t code, const std::string& text) {
    // One fprintf per line, so lines from concurrent requests stay whole.
    fprintf(stderr, "tolvex-was: %s refused %u: %s\n", page, code, text.c_str());
    return replyHeader(code, text);
}

}  // namespace

std::string answerPage(const char* page, const std::function<std::string()>& build) {
    try {
        return build();
    } catch (const RequestError& e) {
        return refuse(page, e.code(), e.what());
    } catch (const SqliteError& e) {
        return refuse(page, WAS_STORAGE_ERROR, e.what());
    } catch (const PgError& e) {
        // Either engine's failure reads the same: the database's own words.
        return refuse(page, WAS_STORAGE_ERROR, e.what());
    } catch (const std::exception& e) {
        return refuse(page, WAS_STORAGE_ERROR, std::string("internal error: ") + e.what());
    }
}
