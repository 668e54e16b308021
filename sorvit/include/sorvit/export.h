#ifndef SORVIT_EXPORT_H
#define SORVIT_EXPORT_H

// libsorvit is built with hidden visibility; only what carries SORVIT_API is exported.
#if defined(__GNUC__) || defined(__clang__)
#define SORVIT_API __attribute__((visibility("default")))
#define SORVIT_LOCAL __attribute__((visibility("hidden")))
#else
#define SORVIT_API
#define SORVIT_LOCAL
#endif

#endif
