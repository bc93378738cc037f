#include "store/ConfigurationImporter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <algorithm>

#include "store/Data.h"
#include "store/Log.h"
#include "store/PlainFile.h"

namespace {

// No user name holds a control character (a CR left before the line end is
// one): the index of the first, or -1.
int ControlCharacterAt(const char* line, int size) {
    for (int k = 0; k < size; ++k) {
        const auto c = static_cast<unsigned char>(line[k]);
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return k;
    }
    return -1;
}

// Spaces and tabs alone make no name, though a name may begin or end with them.
bool IsBlank(const char* line, int size) {
    return std::all_of(line, line + size, [](char c) { return c == ' ' || c == '\t'; });
}

struct Line {
    int number = 0;  // from 1
    int start = 0;
    int size = 0;  // without the line end
};

// The lines of a file's bytes; one CR before the LF belongs to the line end.
class LineReader {
public:
    explicit LineReader(const QByteArray& bytes, int from = 0) : m_bytes(bytes), m_next(from) {}
    int Offset() const { return m_next; }
    bool Next(Line& line) {
        if (m_next >= m_bytes.size())
            return false;
        int end = m_bytes.indexOf('\n', m_next);
        const int after = end < 0 ? m_bytes.size() : end + 1;
        if (end < 0)
            end = m_bytes.size();
        else if (end > m_next && m_bytes[end - 1] == '\r')
            --end;
        line = Line{++m_number, m_next, end - m_next};
        m_next = after;
        return true;
    }

private:
    const QByteArray& m_bytes;
    int m_next;
    int m_number = 0;
};

bool Fail(const QString& path, const QString& why, QString* error) {
    Log("Configuration Data", 1,
        QString("User list %1 not imported: %2").arg(QDir::toNativeSeparators(path), why));
    if (error)
        *error = why;
    return false;
}

// The whole file, once it passes every rule of its layout.
bool ReadChecked(const QString& path, QByteArray* out, QString* error) {
    if (error)
        error->clear();
    QFile file;
    QString why;
    if (!OpenPlainFile(file, path, QIODevice::ReadOnly, &why, true))
        return Fail(path, QString("The file cannot be opened (%1).").arg(why), error);
    const QString tooLarge =
        QString("The file is larger than %1 bytes: no user list is that large.")
            .arg(ConfigurationImporter::kMaxFileSize);
    if (file.size() > ConfigurationImporter::kMaxFileSize)
        return Fail(path, tooLarge, error);
    const QByteArray bytes = file.read(ConfigurationImporter::kMaxFileSize + 1);
    if (file.error() != QFileDevice::NoError)
        return Fail(path, QString("The file cannot be read (%1).").arg(file.errorString()), error);
    if (bytes.size() > ConfigurationImporter::kMaxFileSize)
        return Fail(path, tooLarge, error);

    // A text file never holds a NUL byte: this one is of another kind, and
    // its stray printable runs are no names.
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        return Fail(path,
                    QString("Line %1 holds a NUL byte: this is not a text file.")
                        .arg(std::count(bytes.constBegin(), bytes.constBegin() + nul, '\n') + 1),
                    error);

    // Layout in docs/protocol.md: one name per line, LF or CR LF ending it.
    // Every line is checked before anybody is marked, so a file that fails
    // halfway leaves the user list as it was.
    bool anyName = false;
    Line line;
    for (LineReader lines(bytes); lines.Next(line);) {
        if (line.size > ConfigurationImporter::kMaxNameLength)
            return Fail(path,
                        QString("Line %1 is longer than %2 bytes.")
                            .arg(line.number)
                            .arg(ConfigurationImporter::kMaxNameLength),
                        error);
        const char* text = bytes.constData() + line.start;
        const int control = ControlCharacterAt(text, line.size);
        if (control >= 0)
            return Fail(path,
                        QString("Line %1 holds a control character (0x%2), which no user name "
                                "has.")
                            .arg(line.number)
                            .arg(static_cast<unsigned char>(bytes[line.start + control]), 2, 16,
                                 QChar('0')),
                        error);
        anyName = anyName || !IsBlank(text, line.size);
    }
    if (!anyName)
        return Fail(path, "The file holds no user name.", error);
    *out = bytes;
    return true;
}

}  // namespace

bool ConfigurationImporter::ImportUserList(const QString& path, int* added, QString* error) {
    if (added)
        *added = 0;
    QByteArray bytes;
    if (!ReadChecked(path, &bytes, error))
        return false;
    UserListImport import(bytes, nullptr);
    import.Finish();
    if (added)
        *added = import.Added();
    return true;
}

UserListImport* ConfigurationImporter::StartUserListImport(const QString& path, QObject* parent,
                                                           QString* error) {
    QByteArray bytes;
    if (!ReadChecked(path, &bytes, error))
        return nullptr;
    return new UserListImport(bytes, parent);
}

UserListImport::UserListImport(const QByteArray& bytes, QObject* parent)
    : QObject(parent), m_bytes(bytes) {
    // The first slice runs from the event loop too, after the caller has
    // connected to the end.
    QMetaObject::invokeMethod(
        this, [this] { Step(kSliceMs); }, Qt::QueuedConnection);
}

void UserListImport::Finish() {
    Step(-1);
}

// Marks names for about `budgetMs` (all that are left when negative), then
// hands the thread back until the next turn.
void UserListImport::Step(qint64 budgetMs) {
    if (IsFinished())
        return;
    QElapsedTimer clock;
    clock.start();
    Type* users = d.GetType("user");
    LineReader lines(m_bytes, m_next);
    Line line;
    int count = 0;
    while (lines.Next(line)) {
        const char* text = m_bytes.constData() + line.start;
        if (!IsBlank(text, line.size)) {
            ItemPtr user = users->NewItem(Value(std::string(text, line.size)));
            if (!user.IsConnected("in_user_list")) {
                user.NewItem("in_user_list");
                ++m_added;
            }
        }
        // The clock is read now and then: a name costs microseconds.
        if (budgetMs >= 0 && ++count % 64 == 0 && clock.elapsed() >= budgetMs)
            break;
    }
    m_next = lines.Offset();
    if (IsFinished()) {
        m_bytes.clear();
        m_next = 0;
        emit Finished(m_added);
    } else if (budgetMs >= 0) {
        // Queued, so that what else waits meanwhile (input, timers,
        // painting) runs before the next slice.
        QMetaObject::invokeMethod(
            this, [this] { Step(kSliceMs); }, Qt::QueuedConnection);
    }
}
