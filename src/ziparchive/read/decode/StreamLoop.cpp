#include "ziparchive/read/decode/StreamLoop.h"

#include "ziparchive/read/EntryInput.h"
#include "ziparchive/read/decode/CheckedSink.h"
#include "ziparchive/read/decode/StreamDecompressor.h"

#include <string>

DecodeResult DecodeStream(StreamDecompressor& decompressor, EntryInput& input, CheckedSink& sink,
                          std::span<char> inputBuffer, std::span<char> outputBuffer,
                          const std::atomic<bool>& cancel) {
    using Outcome = StreamDecompressor::Outcome;
    const std::string dataName = decompressor.DataName();
    bool inputEnded = false;
    for (;;) {
        if (cancel.load(std::memory_order_relaxed))
            return {DecodeStatus::Cancelled, 0, {}};
        if (decompressor.InputLeft() == 0 && !inputEnded) {
            const std::int64_t got = input.Read(inputBuffer.data(), inputBuffer.size());
            if (got < 0)
                return {DecodeStatus::ReadFailed, 0, input.Failure()};
            inputEnded = got == 0;
            decompressor.Give(inputBuffer.first(static_cast<std::size_t>(got)));
        }
        const StreamDecompressor::Step step =
            decompressor.Decode(outputBuffer.data(), outputBuffer.size());
        if (step.outcome == Outcome::NoMemory)
            return {DecodeStatus::ReadFailed, 0,
                    step.problem ? step.problem
                                 : "not enough memory to decode the " + dataName + " data"};
        if (step.outcome == Outcome::Damaged)
            return DecodeResult::Corrupt(step.problem ? step.problem
                                                      : "the " + dataName + " data is damaged");
        if (!sink.Take(outputBuffer.data(), step.produced))
            return sink.Failure();
        if (step.outcome == Outcome::Ended)
            return sink.Finish();
        if (inputEnded && decompressor.InputLeft() == 0 && step.produced == 0)
            return DecodeResult::Corrupt("the " + dataName + " data ends early");
    }
}
