#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "wavelet/contract/error.hpp"

namespace {

using tremora::TremoraError;
using K = TremoraError::Kind;

class TremoraErrorText : public ::testing::TestWithParam<std::tuple<TremoraError, std::string>> {};

TEST_P(TremoraErrorText, DisplaysTemplateWithValuesInOrder) {
    const auto& [error, text] = GetParam();
    EXPECT_EQ(error.display(), text);
}

INSTANTIATE_TEST_SUITE_P(
    AllSixteen, TremoraErrorText,
    ::testing::Values(
        std::make_tuple(TremoraError(K::AllocationFailed, 40), "Cannot allocate 40 bytes to vector"),
        std::make_tuple(TremoraError(K::UnexpectedBandLength, 7),
                        "Approximation and details expected to be half of original signal length but it was 7"),
        std::make_tuple(TremoraError(K::BandLengthMismatch, 5, 6), "Approx and details must match, but they don't 5x6"),
        std::make_tuple(TremoraError(K::InputNotDivisible, 2), "Input must be divisible by 2"),
        std::make_tuple(TremoraError(K::Overflow), "Overflow is happened"),
        // Stored (given, required): the required length is printed first.
        std::make_tuple(TremoraError::output_size_mismatch(15, 14), "Output size should be 14, but it was 15"),
        std::make_tuple(TremoraError::input_too_short(7, 8), "Input size 7 can't be less than 8"),
        std::make_tuple(TremoraError(K::InputOutputSizeMismatch, 3, 4), "Input size 3 does not match output size 4"),
        std::make_tuple(TremoraError(K::ZeroOrOddWavelet), "Zero or odd sized wavelet"),
        std::make_tuple(TremoraError(K::FilterCenterTooLarge, 9, 8), "Filter center 9 was larger than filter size 8"),
        std::make_tuple(TremoraError::buffer_too_small_for_level(), "Buffer was too small for provided level"),
        std::make_tuple(TremoraError::approx_size_mismatch(4, 5), "Approximate size 4 does not match required size 5"),
        std::make_tuple(TremoraError::details_size_mismatch(4, 5), "Details size 4 does not match required size 5"),
        std::make_tuple(TremoraError::zero_sized_input(), "Zero sized input is not supported"),
        std::make_tuple(TremoraError::input_size_mismatch(10, 9), "Input size expected to be 10 but it was 9"),
        std::make_tuple(TremoraError::scratch_size_mismatch(22, 21), "Scratch size expected to be 22 but it was 21")));

TEST(TremoraErrorTags, TagValuesAreFixed) {
    EXPECT_EQ(static_cast<int>(K::AllocationFailed), 0);
    EXPECT_EQ(static_cast<int>(K::OutputSizeMismatch), 5);
    EXPECT_EQ(static_cast<int>(K::ScratchSizeMismatch), 15);
}

}  // namespace
