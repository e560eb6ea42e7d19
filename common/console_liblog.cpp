// Records through the system's liblog (Android): the update app reads them
// there, and no terminal is in sight.
#include <android/log.h>

#include "common/console.h"

void LogRecord(const char* tag, const char* text, Tone /*tone*/) {
  __android_log_print(ANDROID_LOG_DEBUG, tag, "%s", text);
}

bool LiveViewActive() { return false; }

bool LogJoinsLines() { return false; }

void LiveViewShow(const char* /*text*/) {}
