#include "imaging/TextureResampler.h"

#include "toolkit/SysUtils.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace hvresample {

namespace {

std::atomic<int> gThreadCount{0};

// One sample position along an axis: the two source indices and the 8-bit weight of the second.
struct TTap {
    int32_t I0;
    int32_t I1;
    int32_t F;
};

// The bilinear lookup's index and weight for a normalised coordinate t, computed exactly as
// THvBitmap32::SampleBilinear computes them: T := t * (size - 1) in extended precision, i0 its
// floor, i1 the next index unless i0 is the last, f := floor((T - i0) * 256). Where both
// indices are the same the weight does not matter ((256 - f) * p + f * p = 256 * p); it is
// set to 0.
TTap Tap(long double t, int size) {
    const long double T = t * static_cast<long double>(size - 1);
    const long double whole = std::floor(T);
    TTap tap;
    if (!(whole < static_cast<long double>(size - 1))) {
        tap.I0 = tap.I1 = size - 1;
        tap.F = 0;
        return tap;
    }
    tap.I0 = whole < 0 ? 0 : int32_t(whole);
    tap.I1 = tap.I0 + 1;
    tap.F = int32_t(std::floor((T - static_cast<long double>(tap.I0)) * 256.0L));
    return tap;
}

// How a sum of N samples becomes the channel value: round(sum x (1 / N)) with 1 / N and the
// product in extended precision, halves to even (TColorSum's ScaleRound). The result rises with
// the sum, so it is fixed by the 255 sums where it steps up, found once per resampling.
class TMean {
public:
    explicit TMean(int64_t count) {
        FNorm = 1.0L / static_cast<long double>(count);
        const uint64_t maxSum = uint64_t(count) * 255;
        FBounds[0] = 0;
        for (int k = 1; k <= 255; ++k) {
            uint64_t s = uint64_t(std::max<long double>(0, (k - 0.5L) * count));
            s = std::min(s, maxSum);
            while (s > 0 && Exact(s - 1) >= k)
                --s;
            while (s <= maxSum && Exact(s) < k)
                ++s;
            FBounds[k] = s;
        }
        if (maxSum < (uint64_t(1) << 22)) {
            FTable.resize(size_t(maxSum) + 1);
            for (int k = 0; k <= 255; ++k) {
                const uint64_t from = FBounds[k];
                const uint64_t to = k == 255 ? maxSum + 1 : std::min(FBounds[k + 1], maxSum + 1);
                if (from < to)
                    std::memset(FTable.data() + from, k, size_t(to - from));
            }
        }
    }

    uint32_t operator()(uint64_t sum) const {
        if (sum < FTable.size())
            return FTable[size_t(sum)];
        return uint32_t(std::upper_bound(FBounds.begin() + 1, FBounds.end(), sum) -
                        FBounds.begin() - 1);
    }

private:
    int Exact(uint64_t sum) const {
        return int(
            std::clamp<int64_t>(RoundHalfEven(static_cast<long double>(sum) * FNorm), 0, 255));
    }

    long double FNorm;
    std::array<uint64_t, 256> FBounds{};
    std::vector<uint8_t> FTable;
};

// Everything about one resampling that does not depend on the pixels.
struct TPlan {
    int SW = 0, SH = 0, W = 0, H = 0, XF = 1, YF = 1;
    int S = 0;                  // samples per sub-row: W * XF
    std::vector<int32_t> X0;    // per sample: left source column; X0 + 1 is readable if SW > 1
    std::vector<uint32_t> WX;   // per sample: (256 - fx) | fx << 16
    std::vector<TTap> Rows;     // per sub-row (i * YF + b)
    std::vector<int32_t> RowLo; // per output row: lowest source row it reads
    TMean Mean;

    TPlan(int sw, int sh, int w, int h, int xf, int yf)
        : SW(sw), SH(sh), W(w), H(h), XF(xf), YF(yf), Mean(int64_t(xf) * yf) {
        S = W * XF;
        X0.resize(size_t(S));
        WX.resize(size_t(S));
        // Coordinates by repeated addition: a column start grows by StepX after each output
        // column, and within it u grows by SubX after each sample (rows likewise).
        const long double stepX = 1.0L / static_cast<long double>(W);
        const long double subX = stepX / static_cast<long double>(XF);
        long double columnStart = 0;
        for (int j = 0; j < W; ++j) {
            long double u = columnStart;
            for (int a = 0; a < XF; ++a) {
                TTap t = Tap(u, SW);
                if (t.I0 == t.I1 && SW > 1) {
                    // The last column alone: read it as the right-hand pixel of the last pair.
                    t.I0 = SW - 2;
                    t.F = 256;
                }
                const size_t s = size_t(j) * XF + a;
                X0[s] = t.I0;
                WX[s] = uint32_t(256 - t.F) | uint32_t(t.F) << 16;
                u += subX;
            }
            columnStart += stepX;
        }
        Rows.resize(size_t(H) * YF);
        RowLo.resize(size_t(H));
        const long double stepY = 1.0L / static_cast<long double>(H);
        const long double subY = stepY / static_cast<long double>(YF);
        long double rowStart = 0;
        for (int i = 0; i < H; ++i) {
            long double v = rowStart;
            int32_t lo = SH;
            for (int b = 0; b < YF; ++b) {
                const TTap t = Tap(v, SH);
                Rows[size_t(i) * YF + b] = t;
                lo = std::min(lo, t.I0);
                v += subY;
            }
            RowLo[size_t(i)] = lo;
            rowStart += stepY;
        }
    }
};

inline uint32_t Channel(uint32_t pixel, int c) {
    return (pixel >> (8 * c)) & 0xFF;
}

// One thread's share: output rows, with the horizontally blended source rows it last used.
class TWorker {
public:
    TWorker(const TPlan& plan, const uint32_t* src, uint32_t* dst)
        : P(plan), FSrc(src), FDst(dst), FAcc(size_t(plan.S) * 4) {
        for (auto& row : FRows)
            row.resize(size_t(plan.S) * 4);
    }

    void OutputRow(int i) {
        std::fill(FAcc.begin(), FAcc.end(), 0u);
        const size_t lanes = size_t(P.S) * 4;
        for (int b = 0; b < P.YF; ++b) {
            const TTap& t = P.Rows[size_t(i) * P.YF + b];
            const int slot0 = Slot(t.I0, -1);
            const int slot1 = t.I1 == t.I0 ? slot0 : Slot(t.I1, slot0);
            const uint16_t* h0 = FRows[slot0].data();
            const uint16_t* h1 = FRows[slot1].data();
            const uint32_t w0 = uint32_t(256 - t.F), w1 = uint32_t(t.F);
            uint32_t* acc = FAcc.data();
            for (size_t k = 0; k < lanes; ++k)
                acc[k] += (w0 * h0[k] + w1 * h1[k]) >> 16;
        }
        uint32_t* out = FDst + size_t(i) * size_t(P.W);
        const uint32_t* acc = FAcc.data();
        for (int j = 0; j < P.W; ++j) {
            uint64_t sum[3] = {0, 0, 0};
            for (int a = 0; a < P.XF; ++a, acc += 4) {
                sum[0] += acc[0];
                sum[1] += acc[1];
                sum[2] += acc[2];
            }
            out[j] = P.Mean(sum[0]) | P.Mean(sum[1]) << 8 | P.Mean(sum[2]) << 16;
        }
    }

private:
    // The slot holding source row y blended horizontally, computing it into the slot used
    // longest ago (never into `keep`) when it is not there.
    int Slot(int y, int keep) {
        for (int s = 0; s < 2; ++s)
            if (FRowOf[s] == y) {
                FUsed[s] = ++FTick;
                return s;
            }
        int s = FUsed[0] <= FUsed[1] ? 0 : 1;
        if (s == keep)
            s = 1 - s;
        Horizontal(FSrc + size_t(y) * size_t(P.SW), FRows[s].data());
        FRowOf[s] = y;
        FUsed[s] = ++FTick;
        return s;
    }

    // h = (256 - fx) * p[x0] + fx * p[x0 + 1] per channel: at most 65280, kept in 16 bits.
    void Horizontal(const uint32_t* line, uint16_t* h) const {
        if (P.SW == 1) {
            const uint32_t p = line[0];
            for (int s = 0; s < P.S; ++s, h += 4) {
                h[0] = uint16_t(256 * Channel(p, 0));
                h[1] = uint16_t(256 * Channel(p, 1));
                h[2] = uint16_t(256 * Channel(p, 2));
                h[3] = 0;
            }
            return;
        }
        for (int s = 0; s < P.S; ++s, h += 4) {
            const uint32_t* p = line + P.X0[size_t(s)];
            const uint32_t a = p[0], b = p[1];
            const uint32_t w0 = P.WX[size_t(s)] & 0xFFFF, w1 = P.WX[size_t(s)] >> 16;
            h[0] = uint16_t(w0 * Channel(a, 0) + w1 * Channel(b, 0));
            h[1] = uint16_t(w0 * Channel(a, 1) + w1 * Channel(b, 1));
            h[2] = uint16_t(w0 * Channel(a, 2) + w1 * Channel(b, 2));
            h[3] = 0;
        }
    }

    const TPlan& P;
    const uint32_t* FSrc;
    uint32_t* FDst;
    std::vector<uint32_t> FAcc;
    std::array<std::vector<uint16_t>, 2> FRows;
    std::array<int, 2> FRowOf{-1, -1};
    std::array<uint64_t, 2> FUsed{0, 0};
    uint64_t FTick = 0;
};

// Hands out chunks of output rows, publishes progress, and stops everyone on cancel.
class TRowQueue {
public:
    TRowQueue(int rows, int chunk, TProgressVar* progress, TCancelVar* cancel)
        : FRows(rows), FChunk(chunk), FProgress(progress), FCancel(cancel) {}

    // The next chunk [first, last); false when none is left.
    bool Next(int& first, int& last) {
        first = FNext.fetch_add(FChunk);
        if (first >= FRows)
            return false;
        last = std::min(FRows, first + FChunk);
        return true;
    }

    bool Cancelled() const { return FCancel && FCancel->load(); }

    void RowDone() {
        const int64_t done = FDone.fetch_add(1) + 1;
        if (!FProgress)
            return;
        const int32_t percent = int32_t(done * 100 / FRows);
        std::lock_guard<std::mutex> lock(FMutex);
        if (percent > FPublished) {
            FPublished = percent;
            FProgress->store(percent);
        }
    }

private:
    const int FRows;
    const int FChunk;
    TProgressVar* FProgress;
    TCancelVar* FCancel;
    std::atomic<int> FNext{0};
    std::atomic<int64_t> FDone{0};
    std::mutex FMutex;
    int32_t FPublished = 0;
};

void Work(TWorker& worker, TRowQueue& queue) {
    int first = 0, last = 0;
    while (queue.Next(first, last)) {
        for (int i = first; i < last; ++i) {
            if (queue.Cancelled())
                return;
            worker.OutputRow(i);
            queue.RowDone();
        }
    }
}

} // namespace

void SetThreadCount(int count) {
    gThreadCount.store(std::max(0, count));
}

int ThreadCount() {
    return gThreadCount.load();
}

void Resample(const uint32_t* src, int srcWidth, int srcHeight, uint32_t* dst, int width,
              int height, int xFactor, int yFactor, TProgressVar* progress, TCancelVar* cancel) {
    if (progress)
        progress->store(0);
    if (width > 0 && height > 0) {
        const TPlan plan(srcWidth, srcHeight, width, height, xFactor, yFactor);

        // Small jobs are not worth a thread; large ones use every processor.
        int threads = gThreadCount.load();
        if (threads == 0) {
            const double work = double(plan.S) * height * yFactor + double(plan.S) * srcHeight;
            threads = work < 2.0e6 ? 1 : int(std::max(1u, std::thread::hardware_concurrency()));
        }
        threads = std::clamp(threads, 1, std::min(height, 64));
        const int chunk = std::max(1, height / (threads * 8));

        TRowQueue queue(height, chunk, progress, cancel);
        std::vector<TWorker> workers;
        workers.reserve(size_t(threads));
        for (int t = 0; t < threads; ++t)
            workers.emplace_back(plan, src, dst);
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t) {
            try {
                pool.emplace_back(Work, std::ref(workers[size_t(t)]), std::ref(queue));
            } catch (const std::system_error&) {
                break; // fewer helpers; the calling thread does the rest
            }
        }
        Work(workers[0], queue);
        for (std::thread& t : pool)
            t.join();
    }
    if (progress)
        progress->store(100);
}

} // namespace hvresample
