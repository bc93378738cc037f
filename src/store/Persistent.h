#ifndef TAVENOOK_STORE_PERSISTENT_H
#define TAVENOOK_STORE_PERSISTENT_H

class InputStream;
class OutputStream;

class StreamWritable {
public:
    virtual ~StreamWritable() = default;
    // False at the first write that fails.
    virtual bool Write(OutputStream& stream) const = 0;
};

class StreamReadable {
public:
    virtual ~StreamReadable() = default;
    // False at the first read that fails; the stream may then be partly
    // consumed, and the message should be dropped.
    virtual bool Read(InputStream& stream) = 0;
};

// A record that reads itself from and writes itself to a stream.
class Persistent : public StreamReadable, public StreamWritable {};

#endif
