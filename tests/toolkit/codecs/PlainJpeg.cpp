#include "PlainJpeg.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <jpeglib.h>

namespace plainjpeg {

namespace {

// No C++ objects with destructors in the functions that call setjmp.
struct PlainError {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
};

void PlainErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<PlainError*>(cinfo->err)->Jump, 1);
}

bool PlainDecode(const QByteArray* data, J_COLOR_SPACE space, int* w, int* h, int* channels,
                 unsigned char** pixels, bool* adobe) {
    jpeg_decompress_struct info;
    PlainError err;
    info.err = jpeg_std_error(&err.Manager);
    err.Manager.error_exit = PlainErrorExit;
    *pixels = nullptr;
    if (setjmp(err.Jump)) {
        jpeg_destroy_decompress(&info);
        std::free(*pixels);
        *pixels = nullptr;
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data->constData()),
                 static_cast<unsigned long>(data->size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = space;
    jpeg_start_decompress(&info);
    *w = int(info.output_width);
    *h = int(info.output_height);
    *channels = info.output_components;
    *adobe = info.saw_Adobe_marker;
    const size_t stride = size_t(*w) * size_t(*channels);
    *pixels = static_cast<unsigned char*>(std::malloc(stride * size_t(*h)));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = *pixels + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

bool PlainEncode(int w, int h, bool progressive, unsigned char** out, unsigned long* size) {
    jpeg_compress_struct info;
    PlainError err;
    info.err = jpeg_std_error(&err.Manager);
    err.Manager.error_exit = PlainErrorExit;
    if (setjmp(err.Jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, out, size);
    info.image_width = JDIMENSION(w);
    info.image_height = JDIMENSION(h);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 80, TRUE);
    if (progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(size_t(w) * 3);
    while (info.next_scanline < info.image_height) {
        const int y = int(info.next_scanline);
        for (int x = 0; x < w; ++x) {
            row[size_t(x) * 3] = JSAMPLE((x * 7 + y) & 0xFF);
            row[size_t(x) * 3 + 1] = JSAMPLE((y * 3) & 0xFF);
            row[size_t(x) * 3 + 2] = JSAMPLE((x ^ y) & 0xFF);
        }
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&info, &p, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

} // namespace

TDecoded Decode(const QByteArray& data, bool cmyk) {
    TDecoded decoded;
    unsigned char* px = nullptr;
    if (!PlainDecode(&data, cmyk ? JCS_CMYK : JCS_RGB, &decoded.Width, &decoded.Height,
                     &decoded.Channels, &px, &decoded.Adobe))
        throw std::runtime_error("plain decode failed");
    decoded.Pixels.assign(px, px + size_t(decoded.Width) * size_t(decoded.Height) *
                                       size_t(decoded.Channels));
    std::free(px);
    return decoded;
}

std::vector<QRgb> Expected(const QByteArray& data, bool cmyk, int* w, int* h) {
    const TDecoded decoded = Decode(data, cmyk);
    *w = decoded.Width;
    *h = decoded.Height;
    std::vector<QRgb> out(size_t(*w) * size_t(*h));
    for (size_t i = 0; i < out.size(); ++i) {
        const uint8_t* p = decoded.Pixels.data() + i * size_t(decoded.Channels);
        if (!cmyk) {
            out[i] = qRgb(p[0], p[1], p[2]);
            continue;
        }
        int rgb[3];
        for (int c = 0; c < 3; ++c) {
            const int ink = decoded.Adobe ? p[c] : 255 - p[c];
            const int k = decoded.Adobe ? p[3] : 255 - p[3];
            rgb[c] = (ink * k + 127) / 255;
        }
        out[i] = qRgb(rgb[0], rgb[1], rgb[2]);
    }
    return out;
}

QByteArray Encode(int w, int h, bool progressive) {
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (!PlainEncode(w, h, progressive, &out, &size))
        throw std::runtime_error("encode failed");
    QByteArray bytes(reinterpret_cast<const char*>(out), qsizetype(size));
    std::free(out);
    return bytes;
}

} // namespace plainjpeg
