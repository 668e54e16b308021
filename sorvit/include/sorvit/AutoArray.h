// Owning holder of an array made with new[], with the element count beside it.
// Byte results of the PKCS#11 layer and of the request service client travel in one
// (TByteArrayAutoPtr).
#pragma once

#include <cstddef>
#include <stdexcept>

template <class T>
class auto_array {
public:
    auto_array() : m_p(nullptr), m_size(0) {}
    explicit auto_array(T* p, size_t n) : m_p(p), m_size(p ? n : 0) {}
    ~auto_array() { delete[] m_p; }

    // Holders are never copied; a move hands the array over and leaves the source empty,
    // so a function can return one.
    auto_array(const auto_array&) = delete;
    auto_array& operator=(const auto_array&) = delete;
    auto_array(auto_array&& other) noexcept : m_p(other.m_p), m_size(other.m_size)
    {
        other.m_p = nullptr;
        other.m_size = 0;
    }
    auto_array& operator=(auto_array&& other) noexcept
    {
        if (this != &other) {
            delete[] m_p;
            m_p = other.m_p;
            m_size = other.m_size;
            other.m_p = nullptr;
            other.m_size = 0;
        }
        return *this;
    }

    T* get() const { return m_p; }
    size_t size() const { return m_size; }

    // Takes p (n elements); the array held before is freed unless it is p itself.
    void reset(T* p = nullptr, size_t n = 0)
    {
        if (m_p && m_p != p)
            delete[] m_p;
        m_p = p;
        m_size = n;
    }

    T& operator[](size_t i) const
    {
        if (i >= m_size)
            throw std::out_of_range("The specified index is out of range");
        return m_p[i];
    }

private:
    T* m_p;
    size_t m_size;
};

typedef auto_array<unsigned char> TByteArrayAutoPtr;
