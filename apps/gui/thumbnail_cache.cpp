#include "thumbnail_cache.h"

#include <libheif/heif.h>

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

// Whether the bytes are a HEIF container (HEIC pictures of the camera since
// iOS 11), told by their file type box: stored files carry no extension.
bool isHeif(const QByteArray& bytes) {
    const QByteArray head = bytes.left(64);
    return head.size() >= 12 && heif_check_filetype(reinterpret_cast<const uint8_t*>(head.constData()),
                                                    static_cast<int>(head.size())) == heif_filetype_yes_supported;
}

// Decodes a HEIF picture through libheif: Debian 12's Qt 6 has no image
// plugin for the format, so QImageReader cannot. The primary picture is
// decoded whole (HEVC tiles cannot be scaled while decoding) with the
// rotation and mirroring it is stored with, then scaled to the box.
QImage decodeHeif(const QByteArray& bytes, QSize box) {
    const std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(),
                                                                              &heif_context_free);
    if (!context) return {};
    if (heif_context_read_from_memory_without_copy(context.get(), bytes.constData(), static_cast<size_t>(bytes.size()),
                                                   nullptr)
            .code != heif_error_Ok)
        return {};
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok) return {};
    const std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(
        rawHandle, &heif_image_handle_release);
    const int width = heif_image_handle_get_width(handle.get()), height = heif_image_handle_get_height(handle.get());
    if (width <= 0 || height <= 0 || static_cast<qint64>(width) * height > kMaxPixels) return {};
    heif_image* rawImage = nullptr;
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code !=
        heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, &heif_image_release);
    int stride = 0;
    const uint8_t* pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!pixels || w <= 0 || h <= 0 || stride < w * 4) return {};
    // A view of libheif's buffer: scaled (or copied) before the buffer goes.
    const QImage view(pixels, w, h, stride, QImage::Format_RGBA8888);
    if (w > box.width() || h > box.height()) return view.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return view.copy();
}

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
    if (isHeif(plain)) return decodeHeif(plain, box);
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
