// A small DER tree for tests: parse a definite-length encoding, change it, and
// write it back with recomputed lengths. Used to derive hostile and unusual
// certificates from ones that openssl made.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "Fixture.h"

namespace dertest {

using Bytes = std::vector<unsigned char>;

struct Node {
    unsigned char tag = 0;
    Bytes content;              // primitive contents
    std::vector<Node> children; // constructed contents
    bool Constructed() const { return (tag & 0x20) != 0; }
    Node& operator[](size_t i) { return children.at(i); }
};

inline Node ParseAt(const Bytes& der, size_t& pos, size_t end)
{
    if (pos + 2 > end)
        throw std::runtime_error("short DER");
    Node n;
    n.tag = der[pos++];
    size_t len = der[pos++];
    if (len & 0x80) {
        size_t count = len & 0x7F;
        len = 0;
        while (count--) {
            if (pos >= end)
                throw std::runtime_error("short length");
            len = (len << 8) | der[pos++];
        }
    }
    if (pos + len > end)
        throw std::runtime_error("length past end");
    if (n.Constructed()) {
        size_t stop = pos + len;
        while (pos < stop)
            n.children.push_back(ParseAt(der, pos, stop));
    } else {
        n.content.assign(der.begin() + pos, der.begin() + pos + len);
        pos += len;
    }
    return n;
}

inline Node Parse(const Bytes& der)
{
    size_t pos = 0;
    return ParseAt(der, pos, der.size());
}

inline void PutLength(Bytes& out, size_t len)
{
    if (len < 0x80) {
        out.push_back(static_cast<unsigned char>(len));
        return;
    }
    Bytes be;
    for (; len; len >>= 8)
        be.insert(be.begin(), static_cast<unsigned char>(len & 0xFF));
    out.push_back(static_cast<unsigned char>(0x80 | be.size()));
    out.insert(out.end(), be.begin(), be.end());
}

inline Bytes Write(const Node& n)
{
    Bytes body;
    if (n.Constructed()) {
        for (const Node& c : n.children) {
            Bytes b = Write(c);
            body.insert(body.end(), b.begin(), b.end());
        }
    } else {
        body = n.content;
    }
    Bytes out{n.tag};
    PutLength(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline Node Prim(unsigned char tag, const Bytes& content)
{
    Node n;
    n.tag = tag;
    n.content = content;
    return n;
}

using fixture::FromHex;

// Indices of the to-be-signed components of a certificate with a [0] version.
enum TbsIndex { kVersion = 0, kSerial, kSigAlg, kIssuer, kValidity, kSubject, kSpki, kExtensions };

}
