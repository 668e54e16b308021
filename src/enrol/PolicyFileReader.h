// The policy model as the two policy files fill it, and the bounded reader that fills
// it; CPolicySchema answers from the model.
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include "PolicySchema.h"

namespace policyfile {

// Every match of one kind of text, in file order. Read as the matches joined by a
// blank and trimmed: what a file that repeats an element gives.
typedef QStringList TTexts;

// An attribute-value-assertion of a policy, found by its OID anywhere below the policy.
struct TAva {
    TTexts source, defaultChoice, minLength, maxLength, type;
};

struct TPolicy {
    TTexts keyType, keySource, keySize, keyMin, keyMax;
    // Per name element of the policy: the OIDs of each of its ava-blocks, in order.
    QList<QList<QStringList>> names;
    QHash<QString, TAva> avas;
};

struct TItem {
    TTexts caption, hint, error;
};

struct TChoice {
    QStringList ids;              // the entries' ids in file order
    QHash<QString, TTexts> texts; // entry id: its texts
};

// A refusal's text followed by the file it is about.
QString WithFile(const QString& text, const QString& file);

// Whether a subject field's OID can go into a request: dotted decimal arcs without
// leading zeros, at least two, the first 0, 1 or 2 (the second below 40 under 0 and 1),
// each arc small enough for the encoder (at most 18 digits).
bool IsEncodableOid(const QString& oid);

} // namespace policyfile

struct CPolicySchema::TModel {
    QStringList ids; // of every policy element with an id, in file order
    QHash<QString, policyfile::TPolicy> policies;
    QHash<QString, policyfile::TItem> items;
    QHash<QString, policyfile::TChoice> choices;
};

namespace policyfile {

// Reads the template file, then the resource file, into the model, each in one pass
// within the bounds of CPolicySchema. Throws CEnrolmentError with what is wrong and
// where when a file cannot be read, is not well-formed XML, is beyond those bounds, or
// holds what the form could not use safely (a policy inside another, a subject field
// whose OID the request encoder cannot write).
void Read(CPolicySchema::TModel& model, const QString& qsTemplateFile, const QString& qsResourceFile);

} // namespace policyfile
