#include "thumbnail_cache.h"

#include "heif_picture.h"


#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QRunnable>

#include <memory>

#include "core/stored_file.h"

namespace salvor::gui {

namespace {

// About 64 MB of thumbnails (the cost is counted in kilobytes).
constexpr int kCacheKb = 64 * 1024;
// Larger pictures are not read at all: a damaged header claiming a huge size
// would otherwise cost the memory of the whole picture.
constexpr qint64 kMaxPixels = 100LL * 1000 * 1000;

}  // namespace

ThumbnailCache::ThumbnailCache(QSize box, QObject* parent) : QObject(parent), box_(box), cache_(kCacheKb) {
    // Decoding never takes both cores from the scan and the window.
    pool_.setMaxThreadCount(std::max(1, QThread::idealThreadCount() / 2));
}

ThumbnailCache::~ThumbnailCache() {
    pool_.clear();
    pool_.waitForDone();
}

QImage ThumbnailCache::decode(const QString& path, QSize box, const BackupCipher* cipher) {
    // The file is read whole (decrypted in an encrypted backup) through the
    // reader of stored files, which never follows a link, neither the file's
    // nor its folder's; the cap is far above any camera picture.
    constexpr std::uint64_t kMaxPictureBytes = 256ull << 20;
    std::string why;
    auto bytes = readStoredFile(cipher, path.toStdString(), kMaxPictureBytes, why);
    if (!bytes) return {};
    QByteArray plain(reinterpret_cast<const char*>(bytes->data()), static_cast<qsizetype>(bytes->size()));
    crypto::cleanse(bytes->data(), bytes->size());
    if (pdf::isHeif(plain)) return pdf::decodeHeif(plain, box, kMaxPixels);
    QBuffer buffer(&plain);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    const QSize full = reader.size();
    if (full.isValid()) {
        if (static_cast<qint64>(full.width()) * full.height() > kMaxPixels) return {};
        // Decoders that can scale while reading (JPEG) never build the whole picture.
        if (full.width() > box.width() || full.height() > box.height())
            reader.setScaledSize(full.scaled(box, Qt::KeepAspectRatio));
    }
    QImage image = reader.read();
    if (image.isNull()) return {};
    if (image.width() > box.width() || image.height() > box.height())
        image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

QImage ThumbnailCache::thumbnail(const QString& path) {
    if (path.isEmpty()) return {};
    if (const QImage* hit = cache_.object(path)) return *hit;
    if (failed_.contains(path) || pending_.contains(path)) return {};
    pending_.insert(path);
    // Decoded at the screen's pixel density, so a scaled display stays sharp.
    const qreal ratio = qGuiApp ? std::max<qreal>(1.0, qGuiApp->devicePixelRatio()) : 1.0;
    const QSize box = box_ * ratio;
    const quint64 generation = generation_;
    // The pool is waited for before this object goes, so the queued call
    // always finds it.
    pool_.start([this, path, box, ratio, generation, cipher = cipher_] {
        QImage image = decode(path, box, cipher.get());
        image.setDevicePixelRatio(ratio);
        QMetaObject::invokeMethod(this, [this, path, image, generation] { store(path, image, generation); },
                                  Qt::QueuedConnection);
    });
    return {};
}

void ThumbnailCache::store(const QString& path, const QImage& image, quint64 generation) {
    if (generation != generation_) return;
    pending_.remove(path);
    if (image.isNull()) failed_.insert(path);
    else cache_.insert(path, new QImage(image), std::max<qsizetype>(1, image.sizeInBytes() / 1024));
    emit ready(path);
}

ThumbnailCache::State ThumbnailCache::state(const QString& path) const {
    if (cache_.contains(path)) return State::Ready;
    if (failed_.contains(path)) return State::Failed;
    return State::Pending;
}

void ThumbnailCache::clear() {
    pool_.clear();
    ++generation_;
    cache_.clear();
    pending_.clear();
    failed_.clear();
}

}  // namespace salvor::gui
