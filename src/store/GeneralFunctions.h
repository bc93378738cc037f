#ifndef TAVENOOK_STORE_GENERALFUNCTIONS_H
#define TAVENOOK_STORE_GENERALFUNCTIONS_H

#include <QString>
#include <cstdint>
#include <string>

class QTextCodec;

// Path helpers: both "/" and "\" separate components.
std::string GetFileName(const std::string& path);
std::string GetFolder(const std::string& path);
std::string GetParentFolder(const std::string& path);
std::string GetFileExtension(const std::string& name);

std::string StringReplace(const std::string& text, const std::string& from, const std::string& to);
QString FormatSeconds(qint64 seconds);
QString CommafyNumber(long long n);
QString ReversePathname(const QString& path);
QString EscapeHTML(const QString& text);
// A name shown as a tab title, button or action text exactly as given: a "&"
// stays a character instead of marking the next letter as an accelerator.
QString LiteralLabel(QString text);
QString ConvertLinks(const QString& text);

// Bit n of the value, counted from 1 at the lowest bit; 0 when n is out of range.
bool GetBit(std::uint64_t value, int n);

// True when the bytes are well-formed UTF-8 (the bytes a UTF-8 decode and
// re-encode would give back unchanged).
bool IsValidUtf8(const char* bytes, std::size_t length);

// Text from the wire or the store: UTF-8 when the bytes are UTF-8, else the
// chosen code page, else Latin-1.
QString ToQString(const std::string& bytes);
QString ToQString(const char* bytes, std::size_t length);

// The code page used by ToQString for bytes that are not UTF-8; null for none.
void SetFallbackCodec(QTextCodec* codec);
QTextCodec* GetFallbackCodec();

#endif
