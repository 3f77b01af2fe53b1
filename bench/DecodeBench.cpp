// Decodes one picture file as the program does, for bench/run to time against the formats' own
// command-line decoders:
//     bench_decode FILE            load and decode the whole picture (24-bit or premultiplied)
//     bench_decode --rows FILE     load and read it row by row, as the streaming composition does
// Prints the size and a checksum of the pixels, so that the work cannot be skipped.
#include "toolkit/Graphics.h"
#include "toolkit/codecs/CodecImage.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool rows = argc == 3 && std::strcmp(argv[1], "--rows") == 0;
    if (argc != 2 && !rows) {
        std::fprintf(stderr, "usage: bench_decode [--rows] FILE\n");
        return 2;
    }
    try {
        TPicture picture;
        picture.LoadFromFile(QString::fromLocal8Bit(argv[argc - 1]));
        auto* graphic = dynamic_cast<TCodecImage*>(picture.Graphic());
        if (!graphic) {
            std::fprintf(stderr, "not a picture read through a codec\n");
            return 1;
        }
        uint32_t sum = 0;
        if (rows) {
            std::unique_ptr<TRowReader> reader = graphic->OpenRows();
            if (!reader) {
                std::fprintf(stderr, "this picture is not read row by row\n");
                return 1;
            }
            const int bytes = graphic->Width() * (reader->Alpha() ? 4 : 3);
            for (int y = 0; y < graphic->Height(); ++y) {
                const uint8_t* row = reader->Row(y);
                sum = sum * 31 + row[(y * 7) % bytes];
            }
        } else {
            graphic->DIBNeeded();
            const QImage& image = graphic->Image();
            for (int y = 0; y < image.height(); ++y)
                sum = sum * 31 + image.constScanLine(y)[(y * 7) % image.bytesPerLine()];
        }
        std::printf("%d x %d %08x\n", graphic->Width(), graphic->Height(), sum);
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
