#ifndef SORVIT_ASNTIME_H
#define SORVIT_ASNTIME_H

// ASN.1 UTCTime and GeneralizedTime text <-> time_t (seconds since 1970, UTC).

#include <sorvit/export.h>

#include <ctime>
#include <string>

// "%Y%m%d%H%M%SZ"
SORVIT_API bool TmToGeneralizedTime(tm* t, std::string* out);
SORVIT_API bool Time_tToGeneralizedTime(time_t* t, std::string* out);
// "%y%m%d%H%M%SZ"; only years 1950 to 2049.
SORVIT_API bool TmToUTCTime(tm* t, std::string* out);
SORVIT_API bool Time_tToUTCTime(time_t* t, std::string* out);

// GeneralizedTime with an optional +hhmm / -hhmm differential (local time minus
// differential is UTC). Throws std::out_of_range for a text shorter than 12
// characters or a differential with fewer than two characters after its sign.
SORVIT_API bool GeneralizedTimeToTm(std::string text, tm* t);
// Exactly 13 characters; YY above 49 is 19YY, else 20YY.
SORVIT_API bool UTCTimeToTm(std::string text, tm* t);
// A date before 1970 stores -1 and still returns true.
SORVIT_API bool GeneralizedTimeToTime_t(std::string text, time_t* out);
SORVIT_API bool UTCTimeToTime_t(std::string text, time_t* out);

// The current time in seconds since 1970, UTC.
SORVIT_API time_t GetGMT();
// The inverse of gmtime: normalises *t in place (also when it then fails) and
// returns its seconds since 1970, or -1 for a year before 1970 or an overflow.
SORVIT_API time_t mkgmtime(tm* t);

#endif
