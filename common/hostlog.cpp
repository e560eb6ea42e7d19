// The Android log off Android: each record goes to standard output in
// logcat's brief form, "D/moxtil: <text>", one line per line of the record.
// The update app reads these lines from a pipe as they happen, so a record is
// written whole with one write, and records of different threads never mix.
#include <android/log.h>

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

pthread_mutex_t writeLock = PTHREAD_MUTEX_INITIALIZER;

char PriorityLetter(int prio) {
  switch (prio) {
    case ANDROID_LOG_VERBOSE: return 'V';
    case ANDROID_LOG_DEBUG: return 'D';
    case ANDROID_LOG_INFO: return 'I';
    case ANDROID_LOG_WARN: return 'W';
    case ANDROID_LOG_ERROR: return 'E';
    case ANDROID_LOG_FATAL: return 'F';
    case ANDROID_LOG_SILENT: return 'S';
    default: return '?';
  }
}

bool WriteAll(const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(STDOUT_FILENO, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Number of lines of text: a trailing line feed ends the last line and does
// not open another one; an empty record is one empty line.
size_t CountLines(const char* text, size_t len) {
  size_t lines = 1;
  for (size_t i = 0; i + 1 < len; ++i) lines += text[i] == '\n';
  return lines;
}

}  // namespace

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
  char stackText[4096];
  char* text = stackText;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(stackText, sizeof stackText, fmt, ap);
  va_end(ap);
  if (n < 0) return n;
  size_t textLen = static_cast<size_t>(n);
  if (textLen >= sizeof stackText) {
    char* big = static_cast<char*>(std::malloc(textLen + 1));
    if (big != nullptr) {
      va_start(ap, fmt);
      vsnprintf(big, textLen + 1, fmt, ap);
      va_end(ap);
      text = big;
    } else {
      textLen = sizeof stackText - 1;  // no memory: the record is cut
    }
  }

  char prefix[64];
  int p = snprintf(prefix, sizeof prefix, "%c/%s: ", PriorityLetter(prio), tag ? tag : "");
  size_t prefixLen = p < 0 ? 0 : (static_cast<size_t>(p) < sizeof prefix ? static_cast<size_t>(p) : sizeof prefix - 1);

  if (textLen > 0 && text[textLen - 1] == '\n') --textLen;
  size_t lines = CountLines(text, textLen + 1);
  size_t outLen = lines * (prefixLen + 1) + textLen - (lines - 1);
  char stackOut[4096 + 128];
  char* out = outLen <= sizeof stackOut ? stackOut : static_cast<char*>(std::malloc(outLen));

  int result = -ENOMEM;
  if (out != nullptr) {
    size_t at = 0;
    const char* line = text;
    const char* end = text + textLen;
    for (;;) {
      const char* eol = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
      const char* stop = eol ? eol : end;
      std::memcpy(out + at, prefix, prefixLen);
      at += prefixLen;
      std::memcpy(out + at, line, static_cast<size_t>(stop - line));
      at += static_cast<size_t>(stop - line);
      out[at++] = '\n';
      if (eol == nullptr) break;
      line = eol + 1;
    }
    pthread_mutex_lock(&writeLock);
    bool ok = WriteAll(out, at);
    pthread_mutex_unlock(&writeLock);
    result = ok ? static_cast<int>(at) : -errno;
    if (out != stackOut) std::free(out);
  }
  if (text != stackText) std::free(text);
  return result;
}
