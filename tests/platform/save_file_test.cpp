#include "platform/save_file.h"

#include "support/temp_home.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace {

// Writes past this many bytes of any file fail in this process (EFBIG) while it lives, as on a
// disk that is full.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_set = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    bool isSet() const { return m_set; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_set = false;
};

TEST(SaveFile, ReplacesTheWholeFileOrLeavesTheOldOneOnAFullDisk)
{
    TempHome home;
    const QString path = home.root() + "/settings.desktop";
    ASSERT_TRUE(platform::saveFile(path, "old content"));
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ASSERT_TRUE(platform::saveFile(path, "new content"));
    EXPECT_EQ(readFile(path), "new content");
    EXPECT_TRUE(QFile::permissions(path) & QFile::ExeOwner);

    // Small enough to wait in Qt's buffer until the commit, and large enough to pass the limit:
    // a commit that renamed what its last flush could write would leave a cut file here.
    for (const qint64 size : {qint64(100), qint64(1) << 20}) {
        SCOPED_TRACE(size);
        {
            FileSizeLimit full(20);
            ASSERT_TRUE(full.isSet());
            EXPECT_FALSE(platform::saveFile(path, QByteArray(int(size), 'x')));
            QFile source(home.root() + "/missing");
            EXPECT_FALSE(platform::saveFile(path, source)); // not open: nothing to read
        }
        EXPECT_EQ(readFile(path), "new content");
        EXPECT_EQ(QDir(home.root()).entryList(QDir::Files), QStringList{"settings.desktop"});
    }

    // From a device, in pieces.
    const QByteArray large(3 * 1024 * 1024 + 5, 'y');
    ASSERT_TRUE(writeFile(home.root() + "/large", large));
    QFile source(home.root() + "/large");
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    ASSERT_TRUE(platform::saveFile(path, source));
    EXPECT_EQ(readFile(path), large);
}

} // namespace
