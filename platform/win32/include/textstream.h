// Text-mode output streams of the run-time library: an output file stream and standard output.
//
// Both are std::ostream objects, so text, integers and std::endl are written with operator<<.
// In text mode every line feed written is stored as CR LF. Unsigned integers (DWORD) print as
// unsigned decimal. Writes to a stream that could not be opened are dropped (the stream is in a
// failed state; nothing is reported).
#pragma once

#include <ios>
#include <memory>
#include <ostream>

#include "share.h"
#include "windows.h"

namespace crt {

class TextFileBuf;

// Output file stream over a Windows path (".\Rlog.txt" is relative to the current directory,
// "C:\..." lies under WINROOT). Opening for std::ios_base::out truncates an existing file or
// creates a missing one; std::ios_base::app appends; std::ios_base::binary turns off the CR LF
// translation. The share flag (share.h) is accepted; _SH_DENYNO, the default, lets others read
// and write the file meanwhile, and the host enforces no other mode.
class ofstream : public std::ostream {
public:
    ofstream();
    explicit ofstream(const char* path, std::ios_base::openmode mode = std::ios_base::out,
                      int shareFlag = _SH_DENYNO);
    ~ofstream() override;

    void open(const char* path, std::ios_base::openmode mode = std::ios_base::out, int shareFlag = _SH_DENYNO);
    bool is_open() const;
    void close();  // flushes

    ofstream(const ofstream&) = delete;
    ofstream& operator=(const ofstream&) = delete;

private:
    std::unique_ptr<TextFileBuf> buf_;
};

// Standard output in text mode. The stream is created on first use, so it may be written from
// static constructors too; use it as `crt::cout << "text" << code << std::endl;`.
class ConsoleStream {
public:
    std::ostream& stream() const;
    operator std::ostream&() const { return stream(); }
    template <class T>
    std::ostream& operator<<(const T& value) const { return stream() << value; }
    std::ostream& operator<<(std::ostream& (*manipulator)(std::ostream&)) const { return stream() << manipulator; }
};

inline constexpr ConsoleStream cout{};

}  // namespace crt
