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

// GeneralizedTime YYYYMMDDHHMM[SS][.fff] followed by Z, a +hh[mm] / -hh[mm]
// differential (local time minus differential is UTC) or nothing. False, *t
// unchanged, for a text that is not a date and time that exist: too short, a
// character other than a digit in a field, a field out of its range (month 13,
// day 31 of April, hour 24, minute 60, second 61), anything after the time. A leap
// second (60) is read as it stands; mkgmtime carries it into the next minute.
SORVIT_API bool GeneralizedTimeToTm(std::string text, tm* t);
// Exactly 13 characters YYMMDDHHMMSSZ, the last one not examined; YY above 49 is
// 19YY, else 20YY. False, *t unchanged, for a date and time that do not exist.
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
