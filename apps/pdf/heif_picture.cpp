#include "heif_picture.h"

#include <libheif/heif.h>

#include <memory>

namespace salvor::pdf {

bool isHeif(const QByteArray& bytes) {
    const QByteArray head = bytes.left(64);
    return head.size() >= 12 && heif_check_filetype(reinterpret_cast<const uint8_t*>(head.constData()),
                                                    static_cast<int>(head.size())) == heif_filetype_yes_supported;
}

QImage decodeHeif(const QByteArray& bytes, QSize box, qint64 maxPixels) {
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
    if (width <= 0 || height <= 0 || static_cast<qint64>(width) * height > maxPixels) return {};
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

}  // namespace salvor::pdf
