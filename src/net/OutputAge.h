#ifndef TAVENOOK_NET_OUTPUTAGE_H
#define TAVENOOK_NET_OUTPUTAGE_H

// How long the oldest byte still in a socket's own buffer has waited there:
// what the cap on output waiting for peers counts. Kept coarsely, a mark per
// second or so of writes and a few marks at most, so that a connection
// written to all the time costs a constant.

#include <QtGlobal>
#include <deque>

class OutputAge {
public:
    // `bytes` just put into the socket's buffer at `now` (ms).
    void Written(qint64 bytes, qint64 now) {
        m_written += bytes;
        // Bytes merged into an older mark count as older: they give way
        // sooner, never later.
        if (!m_marks.empty() && (m_marks.size() >= kMaxMarks || now - m_marks.back().at < kMergeMs))
            m_marks.back().end = m_written;
        else
            m_marks.push_back({m_written, now});
    }
    // When the oldest of the `inBuffer` bytes the buffer holds now was
    // written; -1 when it holds none.
    qint64 OldestSince(qint64 inBuffer) {
        const qint64 handed = m_written - inBuffer;
        while (!m_marks.empty() && m_marks.front().end <= handed)
            m_marks.pop_front();
        return inBuffer > 0 && !m_marks.empty() ? m_marks.front().at : -1;
    }

private:
    static constexpr std::size_t kMaxMarks = 16;
    static constexpr qint64 kMergeMs = 1000;
    struct Mark {
        qint64 end;  // bytes written up to the end of the mark
        qint64 at;   // when its first byte was written
    };
    std::deque<Mark> m_marks;
    qint64 m_written = 0;
};

#endif
