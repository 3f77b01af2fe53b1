// Decoding of whole pictures in any format the program reads, timed in the process.
//
//   bench_decode FILE RUNS [rows]
//
// Each run loads FILE as TPicture does (read, format by content, header) and decodes it whole
// into the picture's bitmap; with "rows" the rows are read one after another instead, as the
// streaming composition reads them (no whole bitmap). Prints the median milliseconds of wall
// time and of processor time (user and system, of the process).
#include "toolkit/Graphics.h"
#include "toolkit/codecs/CodecImage.h"

#include <QElapsedTimer>
#include <QGuiApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_decode FILE RUNS [rows]\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    const QString file = QString::fromLocal8Bit(argv[1]);
    const int runs = std::max(1, std::atoi(argv[2]));
    const bool rows = argc > 3 && std::strcmp(argv[3], "rows") == 0;
    const auto processor = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
    };
    std::vector<double> times, cpu;
    try {
        for (int i = 0; i < runs; ++i) {
            QElapsedTimer timer;
            timer.start();
            const double cpuStart = processor();
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
            cpu.push_back(processor() - cpuStart);
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.Message().toLocal8Bit().constData());
        return 1;
    }
    std::sort(times.begin(), times.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("%.1f %.1f\n", times[times.size() / 2], cpu[cpu.size() / 2]);
    return 0;
}
