// Decoding of whole pictures in any format the program reads, timed in the process.
//
//   bench_decode FILE RUNS [rows]
//
// Each run loads FILE as TPicture does (read, format by content, header) and decodes it whole
// into the picture's bitmap; with "rows" the rows are read one after another instead, as the
// streaming composition reads them (no whole bitmap). Prints the median milliseconds.
#include "toolkit/Graphics.h"
#include "toolkit/codecs/CodecImage.h"

#include <QElapsedTimer>
#include <QGuiApplication>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_decode FILE RUNS [rows]\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const QString file = QString::fromLocal8Bit(argv[1]);
    const int runs = std::max(1, std::atoi(argv[2]));
    const bool rows = argc > 3 && std::strcmp(argv[3], "rows") == 0;
    std::vector<double> times;
    try {
        for (int i = 0; i < runs; ++i) {
            QElapsedTimer timer;
            timer.start();
            TPicture picture;
            picture.LoadFromFile(file);
            auto* image = dynamic_cast<TCodecImage*>(picture.Graphic());
            if (!image) {
                std::fprintf(stderr, "%s is not read through a codec\n", argv[1]);
                return 1;
            }
            if (rows) {
                std::unique_ptr<TRowReader> reader = image->OpenRows();
                for (int y = 0; reader && y < image->Height(); ++y)
                    reader->Row(y);
            } else {
                image->DIBNeeded();
            }
            times.push_back(double(timer.nsecsElapsed()) / 1e6);
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.Message().toLocal8Bit().constData());
        return 1;
    }
    std::sort(times.begin(), times.end());
    std::printf("%.1f\n", times[times.size() / 2]);
    return 0;
}
