// The built-in module's sound token, opened once for the fuzz entries that need a
// token beside what they fuzz: logged in, its objects read, its one RSA key pair.
#pragma once

class CPKCS11AsymmetricKey;
class CPKCS11Token;

namespace fuzzmodule {

struct TSoundToken {
    CPKCS11Token* pToken;
    CPKCS11AsymmetricKey* pPrivateKey;
    CPKCS11AsymmetricKey* pPublicKey;
};

// Opened on first use and kept for the process; the module then answers from no input.
const TSoundToken& SoundToken();

} // namespace fuzzmodule
