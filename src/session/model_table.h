#pragma once

namespace vantrel {

// What differs between the three boot-loader variants, by InstrumentModel.
struct ModelTraits {
    int blankCheckReads;      // reads the blank check allows for its result (progress 0..N)
    int firstEraseBlock;      // number of the first "Erasing block %02d... PASSED" line
    int eraseBlocks;          // block lines awaited (progress 0..B)
    bool reportsBank2;        // protection check also requires the Bank2 line
    const char* baseAddress;  // flash base address sent before a download, 8 hex digits
};

inline constexpr ModelTraits kModelTable[3] = {
    {3, 1, 15, true, "00010000"},
    {3, 1, 7, false, "00010000"},
    {5, 0, 7, false, "00000000"},
};

// Traits of `model` (0, 1 or 2). Only identified instruments reach the operations, so any
// other value is a programming error; it is clamped rather than read out of bounds.
inline const ModelTraits& TraitsOf(int model) {
    return kModelTable[model < 0 ? 0 : (model > 2 ? 2 : model)];
}

}  // namespace vantrel
