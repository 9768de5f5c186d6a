// Thumbnails of pictures in a backup, decoded on worker threads at thumbnail
// size and kept in a cache keyed by the stored file's path. A view asks for a
// picture while painting; until it is decoded the view paints a placeholder
// and repaints when `ready` names the path.
#pragma once

#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QString>
#include <QThreadPool>

#include "core/backup_cipher.h"

namespace salvor::gui {

class ThumbnailCache : public QObject {
    Q_OBJECT
public:
    enum class State { Pending, Ready, Failed };

    explicit ThumbnailCache(QSize box = QSize(128, 128), QObject* parent = nullptr);
    ~ThumbnailCache() override;

    // The decoded picture of `path` scaled to fit the box, or a null image
    // while it is decoded (the decode starts on the first request) or when
    // the file is no picture that can be read.
    QImage thumbnail(const QString& path);
    State state(const QString& path) const;
    QSize box() const { return box_; }
    // Forgets every picture (another backup is shown).
    void clear();

    // Reads and scales one picture (what the workers run); a stored file of
    // an encrypted backup is decrypted in memory with `cipher`.
    static QImage decode(const QString& path, QSize box, const BackupCipher* cipher = nullptr);
    // The key store of the encrypted backup whose pictures are shown next
    // (null for a plain backup).
    void setCipher(BackupCipherPtr cipher) { cipher_ = std::move(cipher); }

signals:
    void ready(const QString& path);

private:
    void store(const QString& path, const QImage& image, quint64 generation);

    QSize box_;
    QCache<QString, QImage> cache_;
    QSet<QString> pending_, failed_;
    QThreadPool pool_;
    quint64 generation_ = 0;
    BackupCipherPtr cipher_;  // decodes started before a clear() are dropped
};

}  // namespace salvor::gui
