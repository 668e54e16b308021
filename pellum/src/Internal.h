#ifndef PELLUM_INTERNAL_H
#define PELLUM_INTERNAL_H

#include <pellum/pellum.h>

#include <cstdint>
#include <string>
#include <vector>

namespace SNACC {
class RDNSequence;
class AsnOid;
class AsnType;
class AsnAny;
}

namespace pellum {

// The process-wide last-error text behind CL_GetLastError.
std::string& LastError();
// Sets the "Unhandled exception occurred in <function>" text unless a text is
// already there.
void SetUnhandled(const char* function);

// Thrown inside a CL_ function when a step failed after putting its reason in
// the last-error text (or leaving it empty for the generic text).
struct Failure {};

std::string OidText(const SNACC::AsnOid& oid);
// The encoding an ANY holds; false for an empty ANY or one that cannot be written.
bool AnyBytes(const SNACC::AsnAny& any, std::string* der);
// A new[] copy of len bytes into blob; a zero-length copy is a valid array.
void CopyToBlob(const unsigned char* data, size_t len, _CPBLOB* blob, size_t extra = 0);
void FreeBlobData(_CPBLOB* blob);

// UTF-8 of what a code point or a string of one character set holds; a code unit
// that cannot be a character becomes U+FFFD.
void AppendUtf8(uint32_t codePoint, std::string* out);
// Well-formed UTF-8 sequences as they are; each ill-formed one U+FFFD.
std::string ValidUtf8(const unsigned char* p, size_t n);
std::string Latin1ToUtf8(const unsigned char* p, size_t n);
std::string Utf16BeToUtf8(const unsigned char* p, size_t n);
std::string Utf32BeToUtf8(const unsigned char* p, size_t n);
// A name's value as it goes into the name's text: line breaks (CR, LF, VT, FF, U+0085, U+2028,
// U+2029) and bidirectional controls (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069)
// written as \xNN or \uNNNN, so that each line of the text is one attribute and reads as stored.
std::string ShownNameValue(const std::string& value);

}

// The steps of name formatting, exported beside the CL_ functions.
// The name's text, most specific RDN first; attributes whose value is not a
// PrintableString, IA5String, UTF8String, TeletexString, BMPString or
// UniversalString are left out.
PELLUM_API std::string ConvertDistinguishedNameToString(const SNACC::RDNSequence* rdns, char attrSep, char rdnSep);
// Appends one pair per attribute, in the same order.
PELLUM_API void ConvertDistinguishedNameToOIDValuePairs(const SNACC::RDNSequence* rdns,
                                                        std::vector<TOIDValuePair>* pairs);
// "CN", "O", ... or the dotted OID.
PELLUM_API std::string AttributeTypeName(const SNACC::AsnOid& type);
// The value of the first "CN=" attribute of a newline-separated name text.
PELLUM_API std::string ExtractSimpleName(const char* text);
// The same for a text that may hold NUL characters.
std::string ExtractSimpleName(const std::string& text);

#endif
