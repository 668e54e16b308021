#!/usr/bin/perl
# Fixes applied to the C++ that esnacc generates from CertModule,
# CertExtensions and the PKCS#10 request module. The generated files are never
# edited by hand; this script runs on every generation and fails the build when
# a pattern it expects is gone, so a different compiler version cannot slip
# through unpatched.
#
#   1. CHOICE BEncContent: Init leaves the choice on its first alternative with
#      a null value, and the generated switch then dereferences the null
#      pointer. An alternative without a value now throws "Choice is empty".
#   2. CHOICE checkConstraints: the generated code calls every member of the
#      union, that is the one value under each alternative's type. Only the
#      chosen alternative is looked at now.
#   3. AlgorithmIdentifier BEncContent: absent parameters are written as an
#      ASN.1 NULL (05 00), as every identifier that we encode must carry them.
#   4. BIT STRING components: the runtime decodes a one-octet BIT STRING with
#      unused bits (81 01 07) to a negative bit count, and reading or writing
#      it later runs off its buffer. The structure walk before decoding sees
#      only universal BIT STRINGs, not implicitly tagged ones ([1] reasons of
#      a DistributionPoint), so every BIT STRING component is checked right
#      after it is decoded. An empty one (81 01 00) is decoded into a block of
#      no octets, whose first octet the runtime's named-bit-list encoder then
#      reads and may write out: it is cleared to no block at all, which that
#      encoder writes as an empty BIT STRING without reading anything.
#   5. Unique identifiers: the module gives issuerUniqueID and subjectUniqueID
#      the private tags [PRIVATE 1] and [PRIVATE 2] in place of the primitive
#      context tags [1] and [2], which only the primitive/constructed bit tells
#      from those of the constructed components before them. They get the
#      context tags here, read and written in the primitive form only.
#
# Usage: patch-generated.pl FILE.cpp...   (edits in place)
use strict;
use warnings;

my $algFixed = 0;
my $uniqueIds = 0;
my $choices  = 0;
my $checks   = 0;
my %bitsMembers;   # "Class::member" => 0 until its decoder is patched

for my $file (@ARGV) {
    open(my $in, '<', $file) or die "$file: $!\n";
    local $/;
    my $src = <$in>;
    close($in);

    # 4. Components of BIT STRING types, read from the class definitions in
    #    the header beside the source.
    (my $header = $file) =~ s/\.cpp$/.h/;
    open(my $h, '<', $header) or die "$header: $!\n";
    my $decl = <$h>;
    close($h);
    my %bitsTypes = (AsnBits => 1);
    $bitsTypes{$1} = 1 while $decl =~ /\nclass\s+(\w+)\s*:\s*public\s+AsnBits\b/g;
    my %members;   # class => { member => 1 }
    while ($decl =~ /\nclass\s+(\w+)\b[^;]*?\n\{\n(.*?)\n\};/gs) {
        my ($class, $body) = ($1, $2);
        while ($body =~ /^\s+(\w+)\s+\*?(\w+);/mg) {
            next unless $bitsTypes{$1};
            $members{$class}{$2} = 1;
            $bitsMembers{"${class}::$2"} = 0;
        }
    }
    $src =~ s{(\nvoid (\w+)::BDecContent \(.*?\n\}\n)}{
        my ($body, $class) = ($1, $2);
        for my $m (keys %{ $members{$class} || {} }) {
            my $n = ($body =~ s{\n(\s+)(\Q$m\E)(->|\.)BDecContent \(_b, (\w+), (\w+), seqBytesDecoded\);}{\n$1$2$3BDecContent (_b, $4, $5, seqBytesDecoded);\n$1if (static_cast<long> ($2$3BitLen ()) < 0)\n$1  throw EXCEPT("BIT STRING with unused bits but no contents", DECODE_ERROR);\n$1if ($2$3BitLen () == 0)\n$1  $2$3clear ();}g);
            $bitsMembers{"${class}::$m"} += $n;
        }
        $body;
    }gse;

    # 1. Only the CHOICE encoders open with FUNC(...); SEQUENCE encoders do not.
    $src =~ s{(\n\w+::BEncContent \(AsnBuf &_b\) const\n\{\n\s*FUNC\(.*?\n\} // \w+::BEncContent)}{
        my $body = $1;
        my $n = ($body =~ s{case (\w+)Cid:\n(\s+)l = \1->}{case $1Cid:\n$2if ($1 == NULL)\n$2  throw EXCEPT("Choice is empty", ENCODE_ERROR);\n$2l = $1->}g);
        die "$file: CHOICE encoder without alternatives\n" unless $n;
        $choices++;
        $body;
    }gse;

    # 2. CHOICE checkConstraints has its brace on a line of its own.
    $src =~ s{(\nint \w+::checkConstraints\(ConstraintFailList\* pConstraintFails\) const\n\{\n.*?\n\treturn 0;\n\})}{
        my $body = $1;
        $body =~ s{if \((\w+) != NULL\)}{if (choiceId == $1Cid && $1 != NULL)}g;
        $checks++;
        $body;
    }gse;

    # 3. Absent AlgorithmIdentifier parameters.
    $algFixed += ($src =~ s{(AlgorithmIdentifier::BEncContent \(AsnBuf &_b\) const\n\{\n.*?if \(NOT_NULL\(parameters\)\) \{\n\s*l = parameters->BEnc \(_b\);\n\s*totalLen \+= l;\n\s*\})}{$1\n  else {\n    AsnNull absentParameters;\n    l = absentParameters.BEnc (_b);\n    totalLen += l;\n  }}s);

    # 5. The private tags of the unique identifiers, in their decoder and encoder.
    for my $n (1, 2) {
        my $read = ($src =~ s{\(tag1 == MAKE_TAG_ID \(PRIV, PRIM, $n\)\)\s*\|\| \(tag1 == MAKE_TAG_ID \(PRIV, CONS, $n\)\)}{(tag1 == MAKE_TAG_ID (CNTX, PRIM, $n))}g);
        my $write = ($src =~ s{BEncTag1 \(_b, PRIV, PRIM, $n\)}{BEncTag1 (_b, CNTX, PRIM, $n)}g);
        $uniqueIds += $read + $write;
    }
    die "$file: a private tag is left\n" if $src =~ /\bPRIV\b/;

    open(my $out, '>', "$file.tmp") or die "$file.tmp: $!\n";
    print $out $src;
    close($out) or die "$file.tmp: $!\n";
    rename("$file.tmp", $file) or die "$file: $!\n";
}

die "AlgorithmIdentifier encoder not found\n" unless $algFixed == 1;
die "unique identifier tags: $uniqueIds of 4 places found\n" unless $uniqueIds == 4;
die "no CHOICE encoder found\n" unless $choices > 0;
die "CHOICE checkConstraints not found for every CHOICE\n" unless $checks == $choices;
die "DistributionPoint reasons not found\n" unless exists $bitsMembers{"DistributionPoint::reasons"};
die "CertificationRequest signature not found\n"
    if grep(/rfc2314_pkcs10\.cpp$/, @ARGV) && !exists $bitsMembers{"CertificationRequest::signature"};
for my $m (sort keys %bitsMembers) {
    die "BIT STRING component $m: its decoder was not found\n" unless $bitsMembers{$m};
}
print "patched $choices CHOICE encoders, AlgorithmIdentifier, the unique identifier tags and " .
    scalar(keys %bitsMembers) . " BIT STRING components\n";
