#include "imaging/TextureResampler.h"

#include "imaging/PixelRows.h"
#include "imaging/ResamplerKernels.h"

#include "toolkit/SysUtils.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace hvresample {

namespace {

std::atomic<int> gThreadCount{0};
std::atomic<TKernels> gKernelLimit{TKernels::Avx512};

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
    int S = 0;                // samples per sub-row: W * XF
    std::vector<int32_t> X0;  // per sample: left source column; X0 + 1 is readable if SW > 1
    std::vector<uint32_t> WX; // per sample: (256 - fx) | fx << 16
    std::vector<TTap> Rows;   // per sub-row (i * YF + b)
    TMean Mean;
    // The vector kernels: per sample the weights (256 - fx) x 4 then fx x 4 as 16-bit lanes;
    // per-sample sums in 16 bits (255 x YF must fit); the mean as a shift when XF x YF = 2^k.
    bool Vector = false; // a vector kernel runs (AVX2 or AVX-512)
    bool Wide = false;   // ... and it is AVX-512
    std::vector<uint16_t> WX8;
    int MeanShift = -1; // k when XF x YF = 2^k <= 256 and XF <= 2, else -1
    // Windows: for each group of 4 (AVX2) or 8 (AVX-512) samples whose neighbour pairs all lie
    // within 8 or 16 consecutive source pixels, the window's first pixel, else -1; and where in
    // the window each sample's two pixels are. One vector load and one permute then replace
    // eight or sixteen loads.
    std::vector<int32_t> Base4, Index4, Base8, Index8;

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
        const long double stepY = 1.0L / static_cast<long double>(H);
        const long double subY = stepY / static_cast<long double>(YF);
        long double rowStart = 0;
        for (int i = 0; i < H; ++i) {
            long double v = rowStart;
            for (int b = 0; b < YF; ++b) {
                const TTap t = Tap(v, SH);
                Rows[size_t(i) * YF + b] = t;
                v += subY;
            }
            rowStart += stepY;
        }
        const TKernels kernels = Kernels();
        Vector = kernels != TKernels::Plain && SW > 1 && int64_t(YF) * 255 <= 0xFFFF;
        Wide = Vector && kernels == TKernels::Avx512;
        if (Vector) {
            WX8.resize(size_t(S) * 8);
            for (size_t s = 0; s < size_t(S); ++s)
                for (int k = 0; k < 4; ++k) {
                    WX8[8 * s + size_t(k)] = uint16_t(WX[s] & 0xFFFF);
                    WX8[8 * s + 4 + size_t(k)] = uint16_t(WX[s] >> 16);
                }
            const int64_t n = int64_t(XF) * YF;
            if (XF <= 2 && n <= 256 && std::has_single_bit(uint64_t(n)))
                MeanShift = std::countr_zero(uint64_t(n));
            MakeWindows(4, Base4, Index4);
            if (Wide)
                MakeWindows(8, Base8, Index8);
        }
    }

    void MakeWindows(int group, std::vector<int32_t>& base, std::vector<int32_t>& index) const {
        const int window = 2 * group;
        base.assign(size_t(S / group), -1);
        index.assign(size_t(S / group) * size_t(window), 0);
        for (int g = 0; g < S / group; ++g) {
            const int32_t first = X0[size_t(g * group)];
            const int32_t last = X0[size_t(g * group + group - 1)];
            if (last + 1 - first >= window || first + window > SW)
                continue; // not in one window, or the window would pass the row's end
            base[size_t(g)] = first;
            for (int k = 0; k < group; ++k) {
                index[size_t(g * window + 2 * k)] = X0[size_t(g * group + k)] - first;
                index[size_t(g * window + 2 * k + 1)] = X0[size_t(g * group + k)] - first + 1;
            }
        }
    }
};

inline uint32_t Channel(uint32_t pixel, int c) {
    return (pixel >> (8 * c)) & 0xFF;
}

// One thread's share: output rows, with the horizontally blended source rows it last used.
class TWorker {
public:
    TWorker(const TPlan& plan, const TPlane& source, const TPlane& target)
        : P(plan), FSource(source), FTarget(target), FAlpha(source.Layout == TLayout::Bgra32),
          FChannels(FAlpha ? 4 : 3) {
        if (source.Layout != TLayout::Rgbx32)
            FLine.resize(size_t(plan.SW));
        if (target.Layout != TLayout::Rgbx32 || target.BeforeStore)
            FOut.resize(size_t(plan.W));
        if (plan.Vector)
            FAcc16.resize(size_t(plan.S) * 4);
        else
            FAcc.resize(size_t(plan.S) * 4);
        for (auto& row : FRows)
            row.resize(size_t(plan.S) * 4);
    }

    // Computes output row i and stores it in the target.
    void OutputRow(int i) {
        uint8_t* row = FTarget.Data + FTarget.Stride * i;
        const bool direct = FTarget.Layout == TLayout::Rgbx32 && !FTarget.BeforeStore;
        uint32_t* out = direct ? reinterpret_cast<uint32_t*>(row) : FOut.data();
#ifdef TAPESTRIX_X86
        if (P.Vector)
            OutputRowAvx2(i, out);
        else
#endif
            OutputRowPlain(i, out);
        if (FTarget.BeforeStore)
            FTarget.BeforeStore(i);
        if (FTarget.Layout == TLayout::Bgr24 && FTarget.BlendOver)
            pixelrows::BlendRgbaOverBgr(out, row, P.W);
        else if (FTarget.Layout == TLayout::Bgr24)
            pixelrows::RgbxToBgr(out, row, P.W);
        else if (FTarget.Layout == TLayout::Bgra32)
            pixelrows::RgbaToBgra(out, row, P.W);
        else if (!direct)
            std::memcpy(row, out, size_t(P.W) * 4);
        if (FTarget.AfterStore)
            FTarget.AfterStore(i);
    }

private:
    void OutputRowPlain(int i, uint32_t* out) {
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
        Means(FAcc.data(), out);
    }

    // Output pixels from the per-sample sums: each channel's mean over the pixel's samples.
    template <class TSum> void Means(const TSum* acc, uint32_t* out) const {
        for (int j = 0; j < P.W; ++j) {
            uint64_t sum[4] = {0, 0, 0, 0};
            for (int a = 0; a < P.XF; ++a, acc += 4)
                for (int c = 0; c < FChannels; ++c)
                    sum[c] += acc[c];
            uint32_t pixel = 0;
            for (int c = 0; c < FChannels; ++c)
                pixel |= P.Mean(sum[c]) << (8 * c);
            out[j] = pixel;
        }
    }

#ifdef TAPESTRIX_X86
    void OutputRowAvx2(int i, uint32_t* out) {
        std::fill(FAcc16.begin(), FAcc16.end(), uint16_t(0));
        const size_t lanes = size_t(P.S) * 4;
        for (int b = 0; b < P.YF; ++b) {
            const TTap& t = P.Rows[size_t(i) * P.YF + b];
            const int slot0 = Slot(t.I0, -1);
            const int slot1 = t.I1 == t.I0 ? slot0 : Slot(t.I1, slot0);
            (P.Wide ? kernels::VerticalAvx512 : kernels::VerticalAvx2)(
                FRows[slot0].data(), FRows[slot1].data(), uint32_t(256 - t.F), uint32_t(t.F),
                FAcc16.data(), lanes);
        }
        if (P.MeanShift >= 0) {
            kernels::MeanShiftAvx2(FAcc16.data(), P.W, P.XF, P.MeanShift, FAlpha, out);
            return;
        }
        Means(FAcc16.data(), out);
    }
#endif

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
        const uint8_t* line = FSource.RowAt ? FSource.RowAt(y) : FSource.Data + FSource.Stride * y;
        if (FSource.Layout == TLayout::Bgr24) {
            pixelrows::BgrToRgbx(line, FLine.data(), P.SW);
            Horizontal(FLine.data(), FRows[s].data());
        } else if (FSource.Layout == TLayout::Bgra32) {
            pixelrows::BgraToRgba(line, FLine.data(), P.SW);
            Horizontal(FLine.data(), FRows[s].data());
        } else {
            Horizontal(reinterpret_cast<const uint32_t*>(line), FRows[s].data());
        }
        FRowOf[s] = y;
        FUsed[s] = ++FTick;
        return s;
    }

    // h = (256 - fx) * p[x0] + fx * p[x0 + 1] per channel: at most 65280, kept in 16 bits.
    void Horizontal(const uint32_t* line, uint16_t* h) const {
#ifdef TAPESTRIX_X86
        if (P.Vector) {
            if (P.Wide)
                kernels::HorizontalAvx512(line, P.X0.data(), P.WX8.data(), P.S, h, P.Base4.data(),
                                          P.Index4.data(), P.Base8.data(), P.Index8.data());
            else
                kernels::HorizontalAvx2(line, P.X0.data(), P.WX8.data(), P.S, h, P.Base4.data(),
                                        P.Index4.data());
            return;
        }
#endif
        if (P.SW == 1) {
            const uint32_t p = line[0];
            for (int s = 0; s < P.S; ++s, h += 4) {
                h[0] = uint16_t(256 * Channel(p, 0));
                h[1] = uint16_t(256 * Channel(p, 1));
                h[2] = uint16_t(256 * Channel(p, 2));
                h[3] = FAlpha ? uint16_t(256 * Channel(p, 3)) : 0;
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
            h[3] = FAlpha ? uint16_t(w0 * Channel(a, 3) + w1 * Channel(b, 3)) : 0;
        }
    }

    const TPlan& P;
    TPlane FSource;
    TPlane FTarget;
    bool FAlpha;                  // the source has alpha: a fourth channel
    int FChannels;                // channels resampled: 3, or 4 with alpha
    std::vector<uint32_t> FLine;  // a 24-bit source row as pixels
    std::vector<uint32_t> FOut;   // an output row before it goes into a 24-bit target
    std::vector<uint32_t> FAcc;   // per-sample sums, scalar path
    std::vector<uint16_t> FAcc16; // per-sample sums, vector path
    std::array<std::vector<uint16_t>, 2> FRows;
    std::array<int, 2> FRowOf{-1, -1};
    std::array<uint64_t, 2> FUsed{0, 0};
    uint64_t FTick = 0;
};

// Hands out chunks of output rows, publishes progress, and stops everyone on cancel.
class TRowQueue {
public:
    TRowQueue(int rows, int chunk, TProgressVar* progress, TCancelVar* cancel)
        : FRows(rows), FChunk(chunk), FProgress(progress), FCancel(cancel),
          FFinished(size_t(rows), 0) {}

    // The next chunk [first, last); false when none is left.
    bool Next(int& first, int& last) {
        first = FNext.fetch_add(FChunk);
        if (first >= FRows)
            return false;
        last = std::min(FRows, first + FChunk);
        return true;
    }

    bool Cancelled() const { return FCancel && FCancel->load(); }

    // Row i is finished (each row by one thread; read after the workers joined).
    void RowDone(int i) {
        FFinished[size_t(i)] = 1;
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

public:
    std::vector<uint8_t> FFinished;
};

void Work(TWorker& worker, TRowQueue& queue) {
    int first = 0, last = 0;
    while (queue.Next(first, last)) {
        for (int i = first; i < last; ++i) {
            if (queue.Cancelled())
                return;
            worker.OutputRow(i);
            queue.RowDone(i);
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

void SetKernelLimit(TKernels limit) {
    gKernelLimit.store(limit);
}

TKernels Kernels() {
    return std::min(kernels::Available(), gKernelLimit.load());
}

void Resample(const TPlane& source, const TPlane& target, int xFactor, int yFactor,
              TProgressVar* progress, TCancelVar* cancel) {
    if (progress)
        progress->store(0);
    const int width = target.Width, height = target.Height;
    if (width > 0 && height > 0) {
        const TPlan plan(source.Width, source.Height, width, height, xFactor, yFactor);

        // Small jobs are not worth a thread; large ones use every processor.
        int threads = gThreadCount.load();
        if (threads == 0) {
            const double work = double(plan.S) * height * yFactor + double(plan.S) * source.Height;
            threads = work < 2.0e6 ? 1 : int(std::max(1u, std::thread::hardware_concurrency()));
        }
        threads = std::clamp(threads, 1, std::min(height, 64));
        if (source.RowAt)
            threads = 1; // its rows come one after another
        const int chunk = std::max(1, height / (threads * 8));

        TRowQueue queue(height, chunk, progress, cancel);
        std::vector<TWorker> workers;
        workers.reserve(size_t(threads));
        for (int t = 0; t < threads; ++t)
            workers.emplace_back(plan, source, target);
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
        // After a cancel the rows not computed are black, as in a new texture (a blended target
        // keeps what was under them).
        const size_t rowBytes = size_t(width) * (target.Layout == TLayout::Bgr24 ? 3 : 4);
        for (int i = 0; i < height && !target.BlendOver; ++i)
            if (!queue.FFinished[size_t(i)])
                std::memset(target.Data + target.Stride * i, 0, rowBytes);
    }
    if (progress)
        progress->store(100);
}

} // namespace hvresample
