// Small text helpers shared by every layer: bounded copies and formats into
// fixed fields, letter-case-insensitive comparison, path joining, the CR LF
// line ends of the generated text files.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Platform.h"

#define VTD_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// Size of the buffer that every formatted message, statement and socket text
// is formatted into; a text holds at most one byte less.
constexpr size_t TextBufferSize = 0x80000;

// Copy into a fixed text field: at most size-1 characters, always ended.
void CopyText(char* target, size_t size, const char* source);
template <size_t N> void CopyText(char (&target)[N], const char* source) { CopyText(target, N, source); }

// snprintf into a fixed text field; false when the text did not fit and has
// been cut at the end.
bool FormatToField(char* target, size_t size, const char* format, ...) VTD_PRINTF(3, 4);

// ASCII letters compared without regard to their case.
bool EqualsNoCase(const char* a, const char* b);
bool StartsWithNoCase(const std::string& text, const char* prefix);
// Order of the names as the registry orders them: letters folded to upper
// case, then byte by byte. Negative, 0 or positive.
int CompareNoCase(const std::string& a, const std::string& b);

// text with every control character (below 0x20, and 0x7F) written as
// \xNN, so it cannot break or forge a line of a message.
std::string PrintableText(const std::string& text);
// Whether text holds a control character (below 0x20, or 0x7F).
bool HasControlCharacter(const char* text);

// A blank or a tab.
bool IsBlank(char c);

// "folder<separator>name", the way the daemon composes its own paths.
std::string JoinPath(const std::string& folder, const std::string& name, char separator = PathSeparator);

// text with every line feed that has no carriage return before it written
// as CR LF; an existing CR LF stays as it is.
std::string ToCrLf(const std::string& text);
