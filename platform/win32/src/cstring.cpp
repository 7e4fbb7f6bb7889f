// CString: shared character storage with a reference count; a change to a shared string first
// takes a private copy (copy on write).
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "afxwin.h"

struct CString::Data {
    std::atomic<int> refs;
    int length;
    int capacity;  // characters, NUL not counted
    char* chars;   // capacity + 1 bytes
};

namespace {

int Length(LPCTSTR text) { return text == NULL ? 0 : static_cast<int>(std::strlen(text)); }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

}  // namespace

namespace {
CString::Data* NewData(int capacity) {
    auto* d = new CString::Data;
    d->refs = 1;
    d->length = 0;
    d->capacity = capacity;
    d->chars = new char[static_cast<size_t>(capacity) + 1];
    d->chars[0] = '\0';
    d->chars[capacity] = '\0';
    return d;
}

void Release(CString::Data* d) {
    if (d != nullptr && --d->refs == 0) {
        delete[] d->chars;
        delete d;
    }
}
}  // namespace

CString::CString() : data_(nullptr) {}

CString::CString(const CString& other) : data_(other.data_) {
    if (data_ != nullptr) ++data_->refs;
}

CString::CString(LPCTSTR text) : data_(nullptr) { Assign(text, Length(text)); }

CString::CString(LPCTSTR text, int length) : data_(nullptr) {
    if (text == NULL || length < 0) length = 0;
    Assign(text, length);
}

CString::CString(TCHAR ch, int repeat) : data_(nullptr) {
    if (repeat <= 0) return;
    MakeUnique(repeat);
    std::memset(data_->chars, ch, static_cast<size_t>(repeat));
    data_->chars[repeat] = '\0';
    data_->length = repeat;
}

CString::~CString() { Release(data_); }

CString& CString::operator=(const CString& other) {
    if (other.data_ != nullptr) ++other.data_->refs;
    Release(data_);
    data_ = other.data_;
    return *this;
}

CString& CString::operator=(LPCTSTR text) {
    Assign(text, Length(text));
    return *this;
}

CString& CString::operator=(TCHAR ch) {
    Assign(&ch, 1);
    return *this;
}

int CString::GetLength() const { return data_ == nullptr ? 0 : data_->length; }
BOOL CString::IsEmpty() const { return GetLength() == 0; }

void CString::Empty() {
    Release(data_);
    data_ = nullptr;
}

CString::operator LPCTSTR() const { return data_ == nullptr ? "" : data_->chars; }

TCHAR CString::GetAt(int index) const {
    if (index < 0 || index >= GetLength()) return '\0';
    return data_->chars[index];
}

TCHAR CString::operator[](int index) const { return GetAt(index); }

void CString::SetAt(int index, TCHAR ch) {
    if (index < 0 || index >= GetLength()) return;
    MakeUnique(data_->length);
    data_->chars[index] = ch;
}

CString CString::Left(int count) const {
    if (count <= 0) return CString();
    if (count >= GetLength()) return *this;
    return CString(data_->chars, count);
}

CString CString::Right(int count) const {
    if (count <= 0) return CString();
    if (count >= GetLength()) return *this;
    return CString(data_->chars + data_->length - count, count);
}

CString CString::Mid(int first) const { return Mid(first, INT_MAX); }

CString CString::Mid(int first, int count) const {
    const int length = GetLength();
    if (first < 0) first = 0;
    if (first >= length || count <= 0) return CString();
    if (count > length - first) count = length - first;
    if (first == 0 && count == length) return *this;
    return CString(data_->chars + first, count);
}

CString& CString::operator+=(const CString& other) {
    const CString keep(other);  // other may be *this
    Append(keep, keep.GetLength());
    return *this;
}

CString& CString::operator+=(LPCTSTR text) {
    Append(text, Length(text));
    return *this;
}

CString& CString::operator+=(TCHAR ch) {
    Append(&ch, 1);
    return *this;
}

int CString::Compare(LPCTSTR text) const {
    const int r = std::strcmp(*this, text == NULL ? "" : text);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int CString::CompareNoCase(LPCTSTR text) const {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(static_cast<LPCTSTR>(*this));
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text == NULL ? "" : text);
    while (*a != 0 && LowerAscii(static_cast<char>(*a)) == LowerAscii(static_cast<char>(*b))) {
        ++a;
        ++b;
    }
    const unsigned char ca = static_cast<unsigned char>(LowerAscii(static_cast<char>(*a)));
    const unsigned char cb = static_cast<unsigned char>(LowerAscii(static_cast<char>(*b)));
    return ca == cb ? 0 : (ca < cb ? -1 : 1);
}

int CString::Find(TCHAR ch, int start) const {
    if (start < 0 || start >= GetLength()) return -1;
    const void* hit = std::memchr(data_->chars + start, ch, static_cast<size_t>(data_->length - start));
    return hit == nullptr ? -1 : static_cast<int>(static_cast<const char*>(hit) - data_->chars);
}

int CString::Find(LPCTSTR text, int start) const {
    if (text == NULL || start < 0 || start > GetLength()) return -1;
    const char* base = *this;
    const char* hit = std::strstr(base + start, text);
    return hit == nullptr ? -1 : static_cast<int>(hit - base);
}

int CString::ReverseFind(TCHAR ch) const {
    for (int i = GetLength() - 1; i >= 0; --i)
        if (data_->chars[i] == ch) return i;
    return -1;
}

CString& CString::MakeUpper() {
    if (GetLength() == 0) return *this;
    MakeUnique(data_->length);
    for (int i = 0; i < data_->length; ++i) data_->chars[i] = UpperAscii(data_->chars[i]);
    return *this;
}

CString& CString::MakeLower() {
    if (GetLength() == 0) return *this;
    MakeUnique(data_->length);
    for (int i = 0; i < data_->length; ++i) data_->chars[i] = LowerAscii(data_->chars[i]);
    return *this;
}

LPTSTR CString::GetBuffer(int minLength) {
    if (minLength < GetLength()) minLength = GetLength();
    MakeUnique(minLength < 0 ? 0 : minLength);
    return data_->chars;
}

LPTSTR CString::GetBufferSetLength(int length) {
    if (length < 0) length = 0;
    GetBuffer(length);
    data_->length = length;
    data_->chars[length] = '\0';
    return data_->chars;
}

void CString::ReleaseBuffer(int newLength) {
    if (data_ == nullptr) return;
    if (newLength < 0) {
        const void* nul = std::memchr(data_->chars, '\0', static_cast<size_t>(data_->capacity) + 1);
        newLength = nul == nullptr ? data_->capacity : static_cast<int>(static_cast<const char*>(nul) - data_->chars);
    }
    if (newLength > data_->capacity) newLength = data_->capacity;
    data_->length = newLength;
    data_->chars[newLength] = '\0';
}

void CString::Format(LPCTSTR format, ...) {
    if (format == NULL) {
        Empty();
        return;
    }
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) {
        va_end(args);
        Empty();
        return;
    }
    Data* fresh = NewData(needed);
    std::vsnprintf(fresh->chars, static_cast<size_t>(needed) + 1, format, args);
    va_end(args);
    fresh->length = needed;
    Release(data_);
    data_ = fresh;
}

void CString::MakeUnique(int capacity) {
    if (data_ != nullptr && data_->refs == 1 && data_->capacity >= capacity) return;
    const int length = GetLength();
    int newCapacity = capacity < length ? length : capacity;
    Data* fresh = NewData(newCapacity);
    if (length > 0) std::memcpy(fresh->chars, data_->chars, static_cast<size_t>(length));
    fresh->chars[length] = '\0';
    fresh->length = length;
    Release(data_);
    data_ = fresh;
}

void CString::Assign(LPCTSTR text, int length) {
    if (length <= 0) {
        Empty();
        return;
    }
    // text may point into our own storage: build the new storage first.
    Data* fresh = NewData(length);
    std::memcpy(fresh->chars, text, static_cast<size_t>(length));
    fresh->chars[length] = '\0';
    fresh->length = length;
    Release(data_);
    data_ = fresh;
}

void CString::Append(LPCTSTR text, int length) {
    if (length <= 0) return;
    const int old = GetLength();
    if (length > INT_MAX / 2 - old) throw std::bad_alloc();
    if (data_ != nullptr && data_->refs == 1 && data_->capacity >= old + length &&
        !(text >= data_->chars && text <= data_->chars + data_->capacity)) {
        std::memcpy(data_->chars + old, text, static_cast<size_t>(length));
    } else {
        // Grow geometrically so repeated appends stay linear; copy from text before releasing.
        int capacity = old + length;
        if (data_ != nullptr && capacity < data_->capacity * 2) capacity = data_->capacity * 2;
        Data* fresh = NewData(capacity);
        if (old > 0) std::memcpy(fresh->chars, data_->chars, static_cast<size_t>(old));
        std::memcpy(fresh->chars + old, text, static_cast<size_t>(length));
        Release(data_);
        data_ = fresh;
    }
    data_->length = old + length;
    data_->chars[data_->length] = '\0';
}

CString operator+(const CString& a, const CString& b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(const CString& a, LPCTSTR b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(LPCTSTR a, const CString& b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(const CString& a, TCHAR b) {
    CString r(a);
    r += b;
    return r;
}
CString operator+(TCHAR a, const CString& b) {
    CString r(a);
    r += b;
    return r;
}

namespace {
int Cmp(LPCTSTR a, LPCTSTR b) { return std::strcmp(a == NULL ? "" : a, b == NULL ? "" : b); }
}  // namespace

bool operator==(const CString& a, const CString& b) { return Cmp(a, b) == 0; }
bool operator==(const CString& a, LPCTSTR b) { return Cmp(a, b) == 0; }
bool operator==(LPCTSTR a, const CString& b) { return Cmp(a, b) == 0; }
bool operator!=(const CString& a, const CString& b) { return Cmp(a, b) != 0; }
bool operator!=(const CString& a, LPCTSTR b) { return Cmp(a, b) != 0; }
bool operator!=(LPCTSTR a, const CString& b) { return Cmp(a, b) != 0; }
bool operator<(const CString& a, const CString& b) { return Cmp(a, b) < 0; }
bool operator<(const CString& a, LPCTSTR b) { return Cmp(a, b) < 0; }
bool operator<(LPCTSTR a, const CString& b) { return Cmp(a, b) < 0; }
bool operator>(const CString& a, const CString& b) { return Cmp(a, b) > 0; }
bool operator>(const CString& a, LPCTSTR b) { return Cmp(a, b) > 0; }
bool operator>(LPCTSTR a, const CString& b) { return Cmp(a, b) > 0; }
bool operator<=(const CString& a, const CString& b) { return Cmp(a, b) <= 0; }
bool operator<=(const CString& a, LPCTSTR b) { return Cmp(a, b) <= 0; }
bool operator<=(LPCTSTR a, const CString& b) { return Cmp(a, b) <= 0; }
bool operator>=(const CString& a, const CString& b) { return Cmp(a, b) >= 0; }
bool operator>=(const CString& a, LPCTSTR b) { return Cmp(a, b) >= 0; }
bool operator>=(LPCTSTR a, const CString& b) { return Cmp(a, b) >= 0; }
