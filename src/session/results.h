#pragma once

#include <cstdint>

namespace vantrel::result {

// Negative results of SendFile and DownloadProgram. Callers test only the sign; the values
// tell the console front end and the update record what happened.
inline constexpr std::int32_t kReceiverCancelled = -1;     // two CAN from the receiver
inline constexpr std::int32_t kNoStartSignal = -2;         // no C or NAK in 16 tries
inline constexpr std::int32_t kBlockNotAcknowledged = -4;  // 25 sendings of one frame
inline constexpr std::int32_t kEndNotAcknowledged = -5;    // no ACK to 10 EOT
inline constexpr std::int32_t kImageReadError = -6;  // the file failed, ended early or changed
                                                     // mid-transfer: the receiver was cancelled
inline constexpr std::int32_t kImageTooLarge = -7;   // 2 GiB or more: does not fit the count
inline constexpr std::int32_t kInterrupted = -8;     // the session's stop was raised during the
                                                     // transfer: the receiver was cancelled
inline constexpr std::int32_t kPortFailed = -9;      // the port failed during the transfer
inline constexpr std::int32_t kFaultLine = -10;       // boot loader reported a user-area fault
inline constexpr std::int32_t kConnectionLost = -11;  // a wait of the dialogue stayed silent
inline constexpr std::int32_t kCannotOpenTarget = -12;  // target file missing, unreadable or no
                                                        // longer the one read at the start

}  // namespace vantrel::result
