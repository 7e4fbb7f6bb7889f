// Text-mode output streams: each line feed written is stored as CR LF. The stream buffer writes
// through a C stdio FILE, so its own buffering is stdio's and a flush reaches the file.
#include "textstream.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "internal.h"

using namespace win32host::detail;

namespace crt {

class TextFileBuf : public std::streambuf {
public:
    TextFileBuf(std::FILE* file, bool text, bool owned) : file_(file), text_(text), owned_(owned) {}
    ~TextFileBuf() override { Close(); }

    bool Close() {
        if (file_ == nullptr) return true;
        const bool ok = owned_ ? std::fclose(file_) == 0 : std::fflush(file_) == 0;
        file_ = nullptr;
        return ok;
    }

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        const char c = traits_type::to_char_type(ch);
        if (file_ == nullptr) return traits_type::eof();
        if (text_ && c == '\n' && std::fputc('\r', file_) == EOF) return traits_type::eof();
        if (std::fputc(c, file_) == EOF) return traits_type::eof();
        return ch;
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (file_ == nullptr) return 0;
        std::streamsize done = 0;
        while (done < n) {
            std::streamsize run = done;
            if (text_)
                while (run < n && s[run] != '\n') ++run;
            else
                run = n;
            const size_t count = static_cast<size_t>(run - done);
            if (count > 0 && std::fwrite(s + done, 1, count, file_) != count) return done;
            done = run;
            if (done < n) {  // a line feed in text mode
                if (std::fputs("\r\n", file_) == EOF) return done;
                ++done;
            }
        }
        return done;
    }

    int sync() override { return (file_ == nullptr || std::fflush(file_) == 0) ? 0 : -1; }

private:
    std::FILE* file_;
    bool text_;
    bool owned_;
};

ofstream::ofstream() : std::ostream(nullptr) {}

ofstream::ofstream(const char* path, std::ios_base::openmode mode, int shareFlag) : std::ostream(nullptr) {
    open(path, mode, shareFlag);
}

ofstream::~ofstream() { close(); }

void ofstream::open(const char* path, std::ios_base::openmode mode, int shareFlag) {
    (void)shareFlag;  // one process writes the file; the host enforces no deny modes
    if (buf_) {
        setstate(std::ios_base::failbit);  // already open
        return;
    }
    if (FaultFires("ofstream::open")) {
        setstate(std::ios_base::failbit);
        return;
    }
    MappedPath mapped;
    DWORD error = ERROR_SUCCESS;
    if (!Map(path, false, &mapped, &error)) {
        SetLastError(error);
        setstate(std::ios_base::failbit);
        return;
    }
    struct stat st;
    if (mapped.exists && stat(mapped.host.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0)) {
        SetLastError(ERROR_ACCESS_DENIED);  // a folder or a read-only file cannot be written
        setstate(std::ios_base::failbit);
        return;
    }
    std::FILE* file = std::fopen(mapped.host.c_str(), (mode & std::ios_base::app) ? "ab" : "wb");
    if (file == nullptr) {
        SetLastError(ErrorFromErrno(errno));
        setstate(std::ios_base::failbit);
        return;
    }
    buf_ = std::make_unique<TextFileBuf>(file, (mode & std::ios_base::binary) == 0, true);
    rdbuf(buf_.get());  // also clears the state
}

bool ofstream::is_open() const { return buf_ != nullptr; }

void ofstream::close() {
    if (!buf_) return;
    if (!buf_->Close()) setstate(std::ios_base::failbit);
    rdbuf(nullptr);
    buf_.reset();
}

std::ostream& ConsoleStream::stream() const {
    // Created on first use and never destroyed, so it can be written at any time; everything
    // written reaches stdout's stdio buffer, which the process flushes at exit.
    static std::ostream* console = new std::ostream(new TextFileBuf(stdout, true, false));
    return *console;
}

}  // namespace crt
