// The event stream's I/O-free half: every event gets the next ID and is
// formatted once as a server-sent-event frame ("id: N", "data: {Event}"),
// kept in a bounded replay buffer (the newest `capacity` frames) and handed
// to every subscriber.
//
// IDs grow across restarts of the service: the first of a run is its start
// time in milliseconds times 1000, plus one, so a client's Last-Event-ID
// from an earlier run is recognised as older than anything kept. A stream
// opened with Last-Event-ID gets every kept frame after that ID; when frames
// after it were evicted (or the ID is not one of this service's), it first
// gets a notice that events were lost (Base EventBufferExceeded) whose ID is
// that of the newest evicted event, then everything kept.
//
// Used on the service's I/O thread only; not locked.
#ifndef KTZREDFISH_EVENTS_H
#define KTZREDFISH_EVENTS_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace ktzredfish
{

inline constexpr size_t kDefaultReplayCapacity = 256;

using Frame = std::shared_ptr<const std::string>;

class EventSink
{
  public:
    virtual ~EventSink() = default;
    // A new frame; the sink may unsubscribe itself from here.
    virtual void Deliver(const Frame& frame) = 0;
};

class EventHub
{
  public:
    EventHub(size_t capacity, int64_t startWallMs);

    // Publishes one Event holding `records` (EventRecord objects; EventId,
    // MemberId and EventTimestamp are filled in here). Returns its ID.
    uint64_t Publish(std::vector<nlohmann::json> records, int64_t wallMs);
    // What a stream opened with `lastEventId` (null: none, live events only)
    // gets before the live ones.
    std::vector<Frame> Replay(const std::string* lastEventId, int64_t wallMs) const;

    void Subscribe(EventSink* sink);
    void Unsubscribe(EventSink* sink);
    size_t subscribers() const { return sinks_.size(); }
    size_t capacity() const { return capacity_; }
    uint64_t lastId() const { return nextId_ - 1; }

  private:
    struct Kept
    {
        uint64_t id;
        Frame frame;
    };
    Frame Format(uint64_t id, std::vector<nlohmann::json> records, int64_t wallMs) const;

    size_t capacity_;
    uint64_t nextId_;
    std::deque<Kept> kept_;
    std::vector<EventSink*> sinks_;
    bool delivering_ = false;
    std::unordered_set<EventSink*> left_; // unsubscribed while delivering
};

// "2026-12-07T18:33:00.123Z"
std::string IsoTime(int64_t wallMs);

} // namespace ktzredfish

#endif
