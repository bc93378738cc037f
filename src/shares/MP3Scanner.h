#ifndef TAVENOOK_SHARES_MP3SCANNER_H
#define TAVENOOK_SHARES_MP3SCANNER_H

#include <QString>
#include <functional>

// Works out the audio attributes of an MP3 file from a census of every MPEG
// audio frame header found at any byte offset. No single header is trusted:
// version, protection bit, sample-rate index and channel mode are decided by
// majority vote, and the bitrate comes from the Layer III frames that agree
// with every winner. The whole file is read in 64 KiB chunks, and a header
// counts only when it and one more byte lie inside one chunk.
//
// On success: mpegVersion is 1 or 2; channelMode is "stereo", "joint
// stereo", "dual mono" or "mono"; frequency is the sample-rate index 0, 1 or
// 2 (not hertz); isVBR is false when one bitrate holds at least 99 % of the
// agreeing frames, and bitrate (kbit/s) is then that bitrate, else the
// truncated mean. bitrate is set to -1 before the file is opened (unless a
// stop is already requested); on failure the other outputs are untouched.
//
// Fails when the file cannot be opened or read, is empty, has no MPEG-1 or
// MPEG-2 majority over MPEG-2.5, has no Layer III header with a bitrate, or
// none agreeing with the winners. stopRequested is polled before every chunk;
// when it answers true the analysis ends with false.
bool ScanMP3File(const QString& path, int& mpegVersion, QString& channelMode, int& frequency,
                 bool& isVBR, int& bitrate, const std::function<bool()>& stopRequested = {});

#endif
