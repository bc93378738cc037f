#include "transfers/DownloadPaths.h"

#include <QDir>
#include <QFileInfo>
#include <climits>

#include "store/GeneralFunctions.h"

namespace {

// Most file systems limit one name to 255 bytes; longer ones would only fail
// later when the file is opened.
constexpr int kMaxComponentBytes = 255;
constexpr int kMaxUniqueTries = 10000;

void SetError(QString* error, const QString& text) {
    if (error != nullptr)
        *error = text;
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

QString Join(const QString& folder, const QString& name) {
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

int Utf8Length(const QString& text) {
    return text.toUtf8().size();
}

// The longest start of text that fits in maxBytes of UTF-8, cut between
// characters: a surrogate pair is never split, so no UTF-8 sequence is.
QString CutToUtf8Bytes(const QString& text, int maxBytes) {
    int bytes = 0;
    int i = 0;
    while (i < text.size()) {
        const bool pair =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const uint code =
            pair ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : text.at(i).unicode();
        const int width = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (bytes + width > maxBytes)
            break;
        bytes += width;
        i += pair ? 2 : 1;
    }
    return text.left(i);
}

QString CleanRoot(const QString& folder) {
    QString onDisk = folder;
    onDisk.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return onDisk.isEmpty() ? QString() : QDir::cleanPath(onDisk);
}

}  // namespace

bool SafeComponent(const QString& raw, QString& safe) {
    safe.clear();
    if (raw.isEmpty() || raw == QLatin1String(".") || raw == QLatin1String(".."))
        return false;
    QString cleaned = raw;
    for (QChar& c : cleaned) {
        if (c.category() == QChar::Other_Control || c == QLatin1Char('/') ||
            c == QLatin1Char('\\') || c == QLatin1Char(':'))
            c = QLatin1Char('_');
    }
    if (cleaned.toUtf8().size() > kMaxComponentBytes)
        return false;
    safe = cleaned;
    return true;
}

bool SafeComponent(const std::string& raw, QString& safe) {
    return SafeComponent(ToQString(raw), safe);
}

bool RecreatedSubfolders(const std::string& remoteFolder, int level, QStringList& components,
                         QString* error) {
    components.clear();
    const int wanted = level < 0 ? 1 : (level >= INT_MAX - 1 ? INT_MAX : level + 1);
    std::string rest = remoteFolder;
    while (components.size() < wanted) {
        while (!rest.empty() && IsSeparator(rest.back()))
            rest.pop_back();
        if (rest.empty())
            break;
        const std::string name = GetFileName(rest);
        QString safe;
        if (!SafeComponent(name, safe)) {
            components.clear();
            SetError(error,
                     QStringLiteral("Unsafe remote folder name \"%1\"").arg(ToQString(name)));
            return false;
        }
        components.prepend(safe);
        // A component without a separator in front is the outermost one: its
        // parent is itself, and repeating it would recreate a folder twice.
        const std::string parent = GetParentFolder(rest);
        if (parent.size() >= rest.size())
            break;
        rest = parent;
    }
    return true;
}

bool MakeDownloadPaths(const QString& downloadFolder, bool dontSplit,
                       const std::string& remoteFolder, const std::string& fileName,
                       int subfolderSaveLevel, bool noSubfolders, DownloadPaths& paths,
                       QString* error) {
    paths = DownloadPaths();
    DownloadPaths out;
    out.root = CleanRoot(downloadFolder);
    if (out.root.isEmpty()) {
        SetError(error, QStringLiteral("No download folder set"));
        return false;
    }
    if (!SafeComponent(fileName, out.fileName)) {
        SetError(error, QStringLiteral("Unsafe file name \"%1\"").arg(ToQString(fileName)));
        return false;
    }
    if (!noSubfolders &&
        !RecreatedSubfolders(remoteFolder, subfolderSaveLevel, out.subfolders, error))
        return false;

    out.downloadingRoot = dontSplit ? out.root : Join(out.root, QStringLiteral("downloading"));
    out.completeRoot = dontSplit ? out.root : Join(out.root, QStringLiteral("complete"));
    out.downloadingFolder = out.downloadingRoot;
    out.completeFolder = out.completeRoot;
    for (const QString& folder : out.subfolders) {
        out.downloadingFolder = Join(out.downloadingFolder, folder);
        out.completeFolder = Join(out.completeFolder, folder);
    }
    out.partialPath = Join(out.downloadingFolder, out.fileName);
    out.completePath = Join(out.completeFolder, out.fileName);

    // The components are clean already; this guards against a mistake above
    // ever letting a peer's name address something outside the roots.
    if (!IsInsideFolder(out.partialPath, out.downloadingRoot) ||
        !IsInsideFolder(out.completePath, out.completeRoot) ||
        QDir::cleanPath(out.partialPath) != out.partialPath ||
        QDir::cleanPath(out.completePath) != out.completePath) {
        SetError(error, QStringLiteral("Download path leaves the download folder"));
        return false;
    }
    paths = out;
    return true;
}

QString RelativeDownloadFolder(const QStringList& subfolders) {
    return subfolders.join(QLatin1Char('\\'));
}

bool IsInsideFolder(const QString& path, const QString& root) {
    if (path.isEmpty() || root.isEmpty())
        return false;
    const QString cleanPath = QDir::cleanPath(path);
    QString cleanRoot = QDir::cleanPath(root);
    if (!cleanRoot.endsWith(QLatin1Char('/')))
        cleanRoot += QLatin1Char('/');
    return cleanPath.size() > cleanRoot.size() && cleanPath.startsWith(cleanRoot);
}

namespace {

// "base (n).ext" as UniqueNameAmong makes it for the nth try.
QString NumberedName(const QString& name, int n) {
    // The number goes before the extension so the file still opens with the
    // same program; a leading dot is part of the base, not an extension.
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    // Plain concatenation: the peer's name may hold "%1" and friends.
    const QString suffix = QStringLiteral(" (") + QString::number(n) + QLatin1Char(')');
    int room = kMaxComponentBytes - suffix.size() - Utf8Length(extension);
    QString stem = base;
    QString tail = extension;
    if (room < 1) {
        // An extension too long to keep whole is no extension.
        stem = name;
        tail.clear();
        room = kMaxComponentBytes - suffix.size();
    }
    return CutToUtf8Bytes(stem, room) + suffix + tail;
}

}  // namespace

QString UniqueNameAmong(const QString& name, const std::function<bool(const QString&)>& taken) {
    if (!taken(name))
        return name;
    for (int n = 1; n <= kMaxUniqueTries; ++n) {
        const QString candidate = NumberedName(name, n);
        if (!taken(candidate))
            return candidate;
    }
    return QString();
}

bool IsNameOrUniqueForm(const QString& candidate, const QString& name) {
    if (candidate == name)
        return true;
    // Each " (n)" in the candidate is tried as the number; a name holds few.
    for (int at = candidate.indexOf(QLatin1String(" (")); at >= 0;
         at = candidate.indexOf(QLatin1String(" ("), at + 1)) {
        const int close = candidate.indexOf(QLatin1Char(')'), at + 2);
        if (close < 0)
            break;
        bool ok = false;
        const int n = candidate.mid(at + 2, close - at - 2).toInt(&ok);
        if (ok && n >= 1 && n <= kMaxUniqueTries &&
            candidate.mid(at + 2, close - at - 2) == QString::number(n) &&
            NumberedName(name, n) == candidate)
            return true;
    }
    return false;
}

QString UniqueCompleteName(const QString& folder, const QString& name) {
    return UniqueNameAmong(name, [&folder](const QString& candidate) {
        const QFileInfo info(Join(folder, candidate));
        return info.exists() || info.isSymLink();
    });
}

void RemoveEmptiedFolders(const QString& from, const QString& root) {
    if (!IsInsideFolder(from, root))
        return;
    QString folder = QDir::cleanPath(from);
    QDir dir;
    while (IsInsideFolder(folder, root)) {
        const QFileInfo info(folder);
        // rmdir refuses a folder with anything in it, which is the test for
        // "emptied"; a link is never followed or removed.
        if (info.isSymLink() || !info.isDir() || !dir.rmdir(folder))
            return;
        folder = info.path();
    }
}
