#ifndef BACKUP_HTTP_HTTP_ENCODE_H
#define BACKUP_HTTP_HTTP_ENCODE_H

// URL encoding of a text into an output iterator, steered by flag bits.

// Flag bits of http_encode_string_i, OR-ed together. There is no 0x100.
enum {
  HUT_FLAG_SLASH = 0x1,               // "/" is percent-encoded (else copied)
  HUT_FLAG_SPACE = 0x2,               // a space becomes "+" (else %20)
  HUT_FLAG_UPPERCASE = 0x4,           // escapes use upper-case hexadecimal digits
  HUT_FLAG_KEEP_COLON = 0x8,          // ":" is copied
  HUT_FLAG_KEEP_LEFT_PAREN = 0x10,    // "(" is copied
  HUT_FLAG_KEEP_RIGHT_PAREN = 0x20,   // ")" is copied
  HUT_FLAG_KEEP_SINGLE_QUOTE = 0x40,  // "'" is copied
  HUT_FLAG_KEEP_ASTERISK = 0x80,      // "*" is copied
  HUT_FLAG_KEEP_EXCLAMATION = 0x200,  // "!" is copied
  HUT_FLAG_KEEP_POUND = 0x400,        // "#" is copied
  HUT_FLAG_KEEP_DOLLAR = 0x800,       // "$" is copied
  HUT_FLAG_KEEP_AMPERSAND = 0x1000,   // "&" is copied
  HUT_FLAG_KEEP_PLUS = 0x2000,        // "+" is copied
  HUT_FLAG_KEEP_COMMA = 0x4000,       // "," is copied
  HUT_FLAG_KEEP_SEMICOLON = 0x8000,   // ";" is copied
  HUT_FLAG_KEEP_EQUAL = 0x10000,      // "=" is copied
  HUT_FLAG_KEEP_QUESTION = 0x20000,   // "?" is copied
  HUT_FLAG_KEEP_AT = 0x40000,         // "@" is copied
  // JavaScript's encodeURIComponent: "/" encoded, upper-case hex, space as %20, keeps ( ) ' * !
  HUT_FLAG_JS_ENCODE_URI_COMPONENT = 0x2f5,
  // JavaScript's encodeURI: "/" copied, upper-case hex, space as %20, keeps : ( ) ' * ! # $ & + , ; = ? @
  HUT_FLAG_JS_ENCODE_URI = 0x7fefc
};

namespace http_encode_detail {

// The flag that lets byte c through unchanged, 0 for a byte no flag keeps.
inline unsigned long keep_flag(unsigned char c)
{
  switch (c) {
  case ':': return HUT_FLAG_KEEP_COLON;
  case '(': return HUT_FLAG_KEEP_LEFT_PAREN;
  case ')': return HUT_FLAG_KEEP_RIGHT_PAREN;
  case '\'': return HUT_FLAG_KEEP_SINGLE_QUOTE;
  case '*': return HUT_FLAG_KEEP_ASTERISK;
  case '!': return HUT_FLAG_KEEP_EXCLAMATION;
  case '#': return HUT_FLAG_KEEP_POUND;
  case '$': return HUT_FLAG_KEEP_DOLLAR;
  case '&': return HUT_FLAG_KEEP_AMPERSAND;
  case '+': return HUT_FLAG_KEEP_PLUS;
  case ',': return HUT_FLAG_KEEP_COMMA;
  case ';': return HUT_FLAG_KEEP_SEMICOLON;
  case '=': return HUT_FLAG_KEEP_EQUAL;
  case '?': return HUT_FLAG_KEEP_QUESTION;
  case '@': return HUT_FLAG_KEEP_AT;
  default: return 0;
  }
}

inline bool is_unreserved(unsigned char c)
{
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == '~';
}

}  // namespace http_encode_detail

// Appends `text` URL-encoded to `out`: letters, digits and "-_.~" are copied; "/" is
// copied unless HUT_FLAG_SLASH is set; each of ( ) ' * ! : # $ & + , ; = ? @ is copied
// when its HUT_FLAG_KEEP_* bit is set; a space becomes "+" under HUT_FLAG_SPACE; every
// other byte becomes "%" and two hexadecimal digits (upper case under
// HUT_FLAG_UPPERCASE). False, with nothing written, when `text` is null or empty.
template <typename OutputIterator>
bool http_encode_string_i(const char* text, unsigned long flags, OutputIterator out)
{
  if (text == nullptr || *text == '\0')
    return false;
  const char* digits = (flags & HUT_FLAG_UPPERCASE) ? "0123456789ABCDEF" : "0123456789abcdef";
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (http_encode_detail::is_unreserved(c) || (c == '/' && !(flags & HUT_FLAG_SLASH))) {
      *out++ = static_cast<char>(c);
    } else if (unsigned long keep = http_encode_detail::keep_flag(c); keep != 0 && (flags & keep)) {
      *out++ = static_cast<char>(c);
    } else if (c == ' ' && (flags & HUT_FLAG_SPACE)) {
      *out++ = '+';
    } else {
      *out++ = '%';
      *out++ = digits[c >> 4];
      *out++ = digits[c & 0xf];
    }
  }
  return true;
}

#endif
