// The run record in the browser: no file, the record's line goes to the page, which offers it for
// download. The host is the browser, named by its user agent.
#include <emscripten.h>

#include <cstdlib>

#include "platform/record_file.h"

namespace {

EM_JS(void, web_record_line, (const char* data, size_t length), {
    Module.onRecord(UTF8ToString(data, length));
});

EM_JS(char*, web_user_agent, (), {
    const text = navigator.userAgent;
    const size = lengthBytesUTF8(text) + 1;
    const copy = _malloc(size);
    stringToUTF8(text, copy, size);
    return copy;
});

}  // namespace

namespace record_file {

bool LogFile::open(const std::string& path, std::string&) {
    path_ = path;
    handle_ = 0;
    return true;
}

bool LogFile::append(const char* data, size_t length) {
    web_record_line(data, length);
    return true;
}


void LogFile::wait_for_room() const {}

std::string LogFile::error() const { return ""; }

void LogFile::close() { handle_ = CLOSED; }

// The name the page was given: a picked file's name or the address it was loaded from.
std::string full_path(const std::string& path) { return path; }

std::string host_name() {
    char* agent = web_user_agent();
    std::string name = agent;
    std::free(agent);
    return name;
}

void sleep_ms(unsigned) {}

SignalsHeld::SignalsHeld() {}

SignalsHeld::~SignalsHeld() {}

}  // namespace record_file
