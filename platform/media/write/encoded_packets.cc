#include "platform/media/write/encoded_packets.h"

namespace talvex::media {

Status takeEncodedPackets(AVCodecContext* enc, const AVStream* stream,
                          const std::string& encodeFailure,
                          const std::function<Status(AVPacket*)>& write) {
  while (true) {
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) return Status::failure("out of memory");
    const int rc = avcodec_receive_packet(enc, pkt.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return Status::ok();
    if (rc < 0) return Status::failure(encodeFailure + ": " + avErrorText(rc));
    av_packet_rescale_ts(pkt.get(), enc->time_base, stream->time_base);
    pkt->stream_index = stream->index;
    if (Status s = write(pkt.get()); !s) return s;
  }
}

}  // namespace talvex::media
