#include "file/fault_guard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "file/document.h"
#include "support/pdf_builder.h"

namespace quarvel {
namespace {

const std::size_t kPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

// A file of `pages` pages, each filled with its own letter, mapped whole.
class MappedFile {
  public:
    explicit MappedFile(std::size_t pages) : length_(pages * kPage) {
        path_ = (std::filesystem::temp_directory_path() /
                 ("quarvel_fault_guard_" + std::to_string(::getpid()) + "_" +
                  std::to_string(counter_++)))
                    .string();
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        for (std::size_t p = 0; p < pages; ++p) {
            const std::string page(kPage, static_cast<char>('a' + p % 26));
            EXPECT_EQ(::write(fd_, page.data(), page.size()), static_cast<ssize_t>(page.size()));
        }
        addr_ = ::mmap(nullptr, length_, PROT_READ, MAP_PRIVATE, fd_, 0);
    }
    ~MappedFile() {
        if (addr_ != MAP_FAILED) ::munmap(addr_, length_);
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const volatile char* bytes() const { return static_cast<const volatile char*>(addr_); }
    void* addr() const { return addr_; }
    std::size_t length() const { return length_; }
    int fd() const { return fd_; }
    void truncate(std::size_t length) const { ASSERT_EQ(::ftruncate(fd_, length), 0); }

  private:
    static inline int counter_ = 0;
    std::string path_;
    int fd_ = -1;
    std::size_t length_;
    void* addr_ = MAP_FAILED;
};

TEST(FaultGuard, ReadPastACutReadsZerosAndMarksTheFile) {
    MappedFile file(4);
    ASSERT_NE(file.addr(), MAP_FAILED);
    auto guard = FaultGuard::watch(file.addr(), file.length());
    ASSERT_TRUE(guard && guard->active());
    EXPECT_EQ(file.bytes()[3 * kPage], 'd');
    EXPECT_FALSE(guard->changed());

    file.truncate(kPage + kPage / 2);
    // The page the cut falls in is still backed: its tail reads as zeros
    // without a fault. The pages past it fault, one after the other.
    EXPECT_EQ(file.bytes()[kPage], 'b');
    EXPECT_EQ(file.bytes()[2 * kPage - 1], '\0');
    EXPECT_FALSE(guard->changed());
    EXPECT_EQ(file.bytes()[2 * kPage + 7], '\0');
    EXPECT_EQ(file.bytes()[4 * kPage - 1], '\0');
    EXPECT_TRUE(guard->changed());
    EXPECT_EQ(file.bytes()[0], 'a');
}

// The pool's workers read documents, not the thread that opened them.
TEST(FaultGuard, FaultOnAnotherThreadMarksTheFile) {
    MappedFile file(3);
    auto guard = FaultGuard::watch(file.addr(), file.length());
    ASSERT_TRUE(guard);
    file.truncate(0);
    char seen = 'x';
    std::thread reader([&] { seen = file.bytes()[2 * kPage]; });
    reader.join();
    EXPECT_EQ(seen, '\0');
    EXPECT_TRUE(guard->changed());
}

// A flag handed out before the guard went away still tells what happened.
TEST(FaultGuard, ChangeFlagOutlivesItsGuard) {
    MappedFile file(2);
    ChangeFlag flag;
    {
        auto guard = FaultGuard::watch(file.addr(), file.length());
        ASSERT_TRUE(guard);
        flag = guard->change_flag();
        file.truncate(0);
        (void)file.bytes()[kPage];
    }
    EXPECT_TRUE(flag.is_set());
}

TEST(FaultGuard, GuardsOfManyFilesAreToldApart) {
    MappedFile cut(2), whole(2);
    auto cut_guard = FaultGuard::watch(cut.addr(), cut.length());
    auto whole_guard = FaultGuard::watch(whole.addr(), whole.length());
    ASSERT_TRUE(cut_guard && whole_guard);
    cut.truncate(0);
    EXPECT_EQ(cut.bytes()[kPage], '\0');
    EXPECT_EQ(whole.bytes()[kPage], 'b');
    EXPECT_TRUE(cut_guard->changed());
    EXPECT_FALSE(whole_guard->changed());
}

// A fault outside every guarded range (here: a range whose guard is gone)
// still ends the process with SIGBUS, as it would without the handler.
TEST(FaultGuardDeathTest, FaultsNotOursReachThePreviousDisposition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    MappedFile file(2);
    { auto guard = FaultGuard::watch(file.addr(), file.length()); }
    file.truncate(0);
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's handler was there first: it reports and exits.
    EXPECT_DEATH((void)file.bytes()[kPage], "BUS");
#else
    EXPECT_EXIT((void)file.bytes()[kPage], ::testing::KilledBySignal(SIGBUS), "");
#endif
}

// Through the document: the open works on the whole file, the cut is found
// by the first read past it, and the result is the changed-file error.
TEST(FaultGuard, DocumentReadPastACutFailsAsChanged) {
    testing::PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
        .object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
        .object(3, "<< /Type /Page /Parent 2 0 R >>");
    std::string pdf = b.build();
    // Padding after the end of the file keeps its structure in the first
    // page and gives the mapping pages to lose.
    pdf += std::string(4 * kPage, '\n');
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("quarvel_fault_doc_" + std::to_string(::getpid()) + ".pdf"))
                                 .string();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, pdf.data(), pdf.size()), static_cast<ssize_t>(pdf.size()));

    auto mapping = Mapping::map_file(fd, pdf.size());
    ASSERT_TRUE(mapping.ok());
    auto doc = Document::from_mmap(std::move(*mapping));
    ASSERT_TRUE(doc.ok());
    EXPECT_TRUE((*doc)->unless_changed(Result<int>(1)).ok());
    ASSERT_EQ(::ftruncate(fd, 0), 0);
    EXPECT_EQ((*doc)->data()[(*doc)->data().size() - 1], '\0');
    auto result = (*doc)->unless_changed(Result<int>(1));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().display(), "file changed while reading");
    ::close(fd);
    ::unlink(path.c_str());
}

} // namespace
} // namespace quarvel
