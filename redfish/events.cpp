// Event IDs, frames, the replay buffer and the subscribers.
#include "events.h"

#include "messages.h"
#include "schema.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>

namespace ktzredfish
{

EventHub::EventHub(size_t capacity, int64_t startWallMs)
    : capacity_(capacity), nextId_(static_cast<uint64_t>(startWallMs > 0 ? startWallMs : 0) * 1000 + 1)
{
}

Frame EventHub::Format(uint64_t id, std::vector<nlohmann::json> records, int64_t wallMs) const
{
    const std::string ids = std::to_string(id);
    nlohmann::json events = nlohmann::json::array();
    for (size_t i = 0; i < records.size(); ++i)
    {
        nlohmann::json& r = records[i];
        r["EventId"] = ids;
        r["MemberId"] = std::to_string(i);
        r["EventTimestamp"] = IsoTime(wallMs);
        events.push_back(std::move(r));
    }
    const nlohmann::json event = {{"@odata.type", odata::kEvent},
                                  {"Id", ids},
                                  {"Name", "KTZ Monitor event"},
                                  {"Events", std::move(events)}};
    return std::make_shared<const std::string>("id: " + ids + "\ndata: " + Dump(event) + "\n\n");
}

uint64_t EventHub::Publish(std::vector<nlohmann::json> records, int64_t wallMs)
{
    const uint64_t id = nextId_++;
    Frame frame = Format(id, std::move(records), wallMs);
    if (capacity_ > 0)
    {
        kept_.push_back({id, frame});
        while (kept_.size() > capacity_)
        {
            kept_.pop_front();
        }
    }
    // A sink may unsubscribe itself (or be unsubscribed) while a frame is
    // handed out: those are skipped for the rest of the round.
    const std::vector<EventSink*> sinks = sinks_;
    delivering_ = true;
    for (EventSink* s : sinks)
    {
        if (left_.empty() || left_.count(s) == 0)
        {
            s->Deliver(frame);
        }
    }
    delivering_ = false;
    left_.clear();
    return id;
}

std::vector<Frame> EventHub::Replay(const std::string* lastEventId, int64_t wallMs) const
{
    std::vector<Frame> out;
    if (lastEventId == nullptr)
    {
        return out;
    }
    const uint64_t first = kept_.empty() ? nextId_ : kept_.front().id;
    uint64_t last = 0;
    const char* begin = lastEventId->data();
    const char* end = begin + lastEventId->size();
    const auto [ptr, ec] = std::from_chars(begin, end, last);
    const bool known =
        ec == std::errc() && ptr == end && !lastEventId->empty() && last + 1 >= first && last < nextId_;
    if (!known)
    {
        nlohmann::json lost = MessageObject(Msg::EventBufferExceeded);
        lost.erase("@odata.type");
        lost.erase("Resolution");
        lost["EventType"] = "Alert";
        out.push_back(Format(first - 1, {std::move(lost)}, wallMs));
    }
    for (const Kept& k : kept_)
    {
        if (!known || k.id > last)
        {
            out.push_back(k.frame);
        }
    }
    return out;
}

void EventHub::Subscribe(EventSink* sink)
{
    sinks_.push_back(sink);
}

void EventHub::Unsubscribe(EventSink* sink)
{
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
    if (delivering_)
    {
        left_.insert(sink);
    }
}

std::string IsoTime(int64_t wallMs)
{
    const time_t secs = static_cast<time_t>(wallMs / 1000);
    tm t{};
    gmtime_r(&secs, &t);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(wallMs % 1000));
    return buf;
}

} // namespace ktzredfish
