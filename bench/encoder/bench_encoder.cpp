// Times our bzip2 block encoder against libbz2 at level 9 on the same chunks, one thread, and
// compares the compressed sizes.
//
// Usage: bench_encoder [--runs N] [--megabytes M] [FOLDER...]
// The chunks are real files under the folders (default /usr/share and /usr/lib), cut the way
// the zip writer cuts them. Each round runs both, in alternating order; the ratios are of the
// medians of the thread's CPU time; the exit status is 1 when a target is missed. Every stream is
// checked against its chunk by libbz2 once, outside the timing.

#include "ziparchive/write/ChunkCompressor.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <time.h>

namespace {

namespace fs = std::filesystem;

struct Options {
    int runs = 5;
    std::size_t megabytes = 48;
    std::vector<std::string> folders;
};

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc)
            options.runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--megabytes" && i + 1 < argc)
            options.megabytes = static_cast<std::size_t>(std::max(1, std::atoi(argv[++i])));
        else
            options.folders.push_back(arg);
    }
    if (options.folders.empty())
        options.folders = {"/usr/share", "/usr/lib"};
    return options;
}

// Every regular file under the folders, sorted, then an even sample of them up to the budget:
// each folder's share is the budget over the number of folders.
std::vector<std::vector<std::uint8_t>> LoadFiles(const Options& options) {
    std::vector<std::vector<std::uint8_t>> files;
    const std::size_t share = options.megabytes * 1'000'000 / options.folders.size();
    for (const std::string& folder : options.folders) {
        std::vector<fs::path> paths;
        std::uintmax_t total = 0;
        std::error_code error;
        for (fs::recursive_directory_iterator
                 it(folder, fs::directory_options::skip_permission_denied, error),
             end;
             it != end; it.increment(error)) {
            if (error)
                break;
            std::error_code sizeError;
            if (it->is_regular_file(sizeError) && !it->is_symlink(sizeError)) {
                const std::uintmax_t size = it->file_size(sizeError);
                if (!sizeError && size > 0) {
                    paths.push_back(it->path());
                    total += size;
                }
            }
        }
        std::sort(paths.begin(), paths.end());
        const std::size_t step =
            std::max<std::uintmax_t>(1, total / std::max<std::size_t>(share, 1));
        std::size_t loaded = 0;
        for (std::size_t i = 0; i < paths.size() && loaded < share; i += step) {
            std::ifstream in(paths[i], std::ios::binary);
            std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                            std::istreambuf_iterator<char>());
            if (bytes.empty())
                continue;
            loaded += bytes.size();
            files.push_back(std::move(bytes));
        }
    }
    return files;
}

struct Chunk {
    const std::uint8_t* data;
    std::size_t size;
};

struct Run {
    double seconds = 0;
    std::size_t bytes = 0;
};

// CPU time of this thread: the machine is shared, and wall time would count the others' work.
double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

Run CompressAll(ChunkCompressor& compressor, const std::vector<Chunk>& chunks) {
    CompressedBlock block;
    Run run;
    const double start = ThreadSeconds();
    for (const Chunk& chunk : chunks) {
        compressor.Compress(chunk.data, chunk.size, block);
        run.bytes += block.streamLength;
    }
    run.seconds = ThreadSeconds() - start;
    return run;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    const auto files = LoadFiles(options);
    std::vector<Chunk> chunks;
    std::size_t input = 0;
    for (const auto& file : files) {
        for (std::size_t at = 0; at < file.size(); at += ChunkCompressor::MaxChunk)
            chunks.push_back(
                {file.data() + at, std::min(ChunkCompressor::MaxChunk, file.size() - at)});
        input += file.size();
    }
    std::printf("%zu files, %zu chunks, %.1f MB\n", files.size(), chunks.size(), input / 1e6);

    ChunkCompressor own(ChunkCompressor::Engine::Own, false);
    ChunkCompressor reference(ChunkCompressor::Engine::Libbz2, false);
    {
        ChunkCompressor checked(ChunkCompressor::Engine::Own, true);
        CompressAll(checked, chunks);
    }
    std::vector<double> ownTimes, referenceTimes;
    std::size_t ownBytes = 0, referenceBytes = 0;
    for (int round = 0; round < options.runs; ++round) {
        Run a, b;
        if (round % 2 == 0) {
            a = CompressAll(own, chunks);
            b = CompressAll(reference, chunks);
        } else {
            b = CompressAll(reference, chunks);
            a = CompressAll(own, chunks);
        }
        ownTimes.push_back(a.seconds);
        referenceTimes.push_back(b.seconds);
        ownBytes = a.bytes;
        referenceBytes = b.bytes;
        std::printf("round %d: own %.3f s, libbz2 %.3f s\n", round + 1, a.seconds, b.seconds);
    }
    const double ownMedian = Median(ownTimes), referenceMedian = Median(referenceTimes);
    std::printf("median: own %.3f s (%.1f MB/s), libbz2 %.3f s (%.1f MB/s)\n", ownMedian,
                input / 1e6 / ownMedian, referenceMedian, input / 1e6 / referenceMedian);
    const double timeRatio = ownMedian / referenceMedian;
    const double sizeRatio = static_cast<double>(ownBytes) / static_cast<double>(referenceBytes);
    std::printf("size: own %zu, libbz2 %zu bytes\n", ownBytes, referenceBytes);
    std::printf("targets (ratios, own over libbz2):\n");
    std::printf("  time  %.3f  <= 0.65  %s\n", timeRatio, timeRatio <= 0.65 ? "PASS" : "MISS");
    std::printf("  size  %.4f <= 1.01  %s\n", sizeRatio, sizeRatio <= 1.01 ? "PASS" : "MISS");
    return timeRatio <= 0.65 && sizeRatio <= 1.01 ? 0 : 1;
}
