// A PKCS#11 module built into the fuzz programs. Every answer it gives is taken from
// the bytes handed to Start, in the order of the calls; once they are used up it
// answers as a sound token would, with the slot and token information SoftHSM2 gives
// (one initialised token, further slots free): the token holds an RSA key pair and
// the certificate made for it (FuzzMaterial.h), and digests are SHA-1.
//
// The layer loads it by the name kModuleName: the programs are linked with
// --wrap=dlopen,--wrap=dlsym,--wrap=dlclose,--wrap=dlinfo, and the wrappers hand out this module
// for that name and pass every other name to the system's loader. Nothing is loaded
// from disk.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzmodule {

extern const char kModuleName[];

// The module's answers from now on come from these bytes (kept, not copied); the
// module's state (sessions, login, objects) starts afresh.
void Start(const uint8_t* data, size_t size);

// Whether the module was left initialised (a context that did not finalise).
bool IsInitialized();

} // namespace fuzzmodule
