#include "EnrolmentKeys.h"

#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"

TKeysVector CollectEnrolmentKeys(CPKCS11Token& token, TEnrolmentKeyPurpose purpose,
                                 const std::vector<unsigned char>* pIDFilter)
{
    TKeysVector keys;
    for (unsigned long i = 0; i < token.GetAsymmetricKeyCount(); ++i) {
        CPKCS11AsymmetricKey* pKey = token.GetAsymmetricKey(i);
        if (!pKey || !(pKey->GetKeyFlags() & KEY_CLASS_PRIVATE) || pKey->GetPairIndex() == -1)
            continue;
        if (purpose == KeysForRequest && pKey->HasCertificate())
            continue;
        // With a filter, every key whose CKA_ID is the selected key's.
        if (!pIDFilter || *pIDFilter == pKey->GetIDBytes())
            keys.push_back(pKey);
    }
    return keys;
}
