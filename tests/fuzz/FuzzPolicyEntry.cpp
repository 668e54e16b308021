// Fuzz entry for the policy files: Schema.xml and SchemaResources.<language>.xml from
// the input (split at the separator line), read by the policy model and built into the
// request form's fields as the form builds them, without showing it; a policy with a
// subject to encode is then encoded and signed on the built-in module's sound token.
// Unusable files and policies are reported (CEnrolmentError), nothing else may escape.

#include <cstdint>
#include <cstdlib>
#include <memory>

#include <QList>
#include <QString>
#include <QStringList>

#include <sorvit/AutoArray.h>

#include "ASN1Name.h"
#include "EnrolmentError.h"
#include "FuzzApplication.h"
#include "FuzzSupport.h"
#include "FuzzToken.h"
#include "OIDInput.h"
#include "PolicySchema.h"

namespace {

// A policy as the form's policy switch builds it; the inputs go with the form.
void BuildPolicy(const CPolicySchema& schema, const QString& qsPolicyId)
{
    CASN1Name subject;
    std::vector<std::unique_ptr<QOIDInput>> inputs;
    try {
        schema.KeySettings(qsPolicyId);
        for (const QStringList& oids : schema.SubjectBlocks(qsPolicyId)) {
            CASN1AVBlock* block = new CASN1AVBlock;
            subject.append(block);
            for (const QString& oid : oids) {
                CASN1AttributeValue* value = new CASN1AttributeValue(oid);
                block->append(value);
                inputs.emplace_back(new QOIDInput(schema, qsPolicyId, oid, value));
            }
        }
    } catch (const CEnrolmentError&) {
        return;  // the policy is shown with its error
    }
    if (!subject.HasEncodedValues())
        return;
    // As the form: a subject that cannot go into a request is refused before the key.
    try {
        subject.CheckSubject();
    } catch (const CEnrolmentError&) {
        return;
    }
    const fuzzmodule::TSoundToken& token = fuzzmodule::SoundToken();
    TByteArrayAutoPtr request;
    subject.EncodeAndSign(*token.pPrivateKey, *token.pPublicKey, request);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::StartApplication();
    fuzzmodule::SoundToken();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzzsupport::CMemoryFile schemaFile("Schema.xml");
    static fuzzsupport::CMemoryFile resourceFile("SchemaResources.en.xml");
    const std::vector<std::string> parts = fuzzsupport::Split(data, size, 2);
    if (!schemaFile.Fill(parts[0]) || !resourceFile.Fill(parts[1]))
        std::abort();
    try {
        const CPolicySchema schema(QString::fromStdString(schemaFile.Path()),
                                   QString::fromStdString(resourceFile.Path()));
        // The form's list of policies, then each policy as the user picks it.
        const QStringList ids = schema.PolicyIds();
        for (const QString& id : ids)
            schema.PolicyCaption(id);
        for (const QString& id : ids)
            BuildPolicy(schema, id);
    } catch (const CEnrolmentError&) {
        // Files the form cannot use: the form is not opened, and the user is told why.
    }
    return 0;
}
