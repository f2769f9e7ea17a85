// Turns a queued event of a libktzclient handle into the public structures
// the caller reads: the event, its message with the decoded fields of the
// message's type, or a request's reply. Every structure carries its own size,
// and the texts and bytes they point to stay in the handle until the next
// event is handed out.
#include "connection.h"

#include <algorithm>
#include <cstring>
#include <variant>

namespace
{

void FillMessage(ktzclient::detail::Handed& h)
{
    const ktztransport::Message& w = h.item.msg;
    ktzc_message* m = &h.message;
    *m = ktzc_message{};
    m->struct_size = sizeof *m;
    m->seq = w.seq;
    m->request_class = w.requestClass;
    m->request_type = w.requestType;
    m->response_size = w.responseSize;
    m->flags = w.flags;
    m->raw = w.payload.empty() ? nullptr : w.payload.data();
    m->raw_size = w.payload.size();
    m->type_name = ktzclient::RequestTypeName(w.requestType);
    m->answered_caps = h.item.answeredCaps;
    auto d = ktzclient::Decode(w.requestClass, w.requestType, m->raw, m->raw_size);
    h.argPointers.clear();
    if (!d.ok)
    {
        h.decoded = ktzclient::Message{};
        h.decodeError = d.error;
        h.text = std::string(m->type_name) + " MALFORMED: " + d.error;
        m->decoded = 0;
        m->decode_error = h.decodeError.c_str();
        m->text = h.text.c_str();
        return;
    }
    h.decoded = std::move(d.value);
    h.decodeError.clear();
    h.text = ktzclient::Describe(h.decoded);
    m->decoded = 1;
    m->decode_error = nullptr;
    m->text = h.text.c_str();
    if (const auto* k = std::get_if<ktzclient::KtzSetting>(&h.decoded.body))
    {
        h.setting = ktzc_ktz_setting{sizeof(ktzc_ktz_setting), k->value, k->changed ? 1 : 0};
        m->ktz_setting = &h.setting;
    }
    else if (const auto* s = std::get_if<ktzclient::SensorData>(&h.decoded.body))
    {
        ktzc_sensor_data& o = h.sensor;
        o = ktzc_sensor_data{};
        o.struct_size = sizeof o;
        o.type = s->type;
        o.presence = s->presence;
        o.status = s->status;
        o.number = s->number;
        o.sensor_class = s->sensorClass;
        o.threshold_flags = s->thresholdFlags;
        o.raw_reading = s->rawReading;
        o.reading = s->Reading();
        o.has_thresholds = s->hasThresholds ? 1 : 0;
        o.lnc = s->lncThreshold;
        o.lc = s->lcThreshold;
        o.name = s->name.c_str();
        m->sensor = &o;
    }
    else if (const auto* f = std::get_if<ktzclient::FruByNumber>(&h.decoded.body))
    {
        ktzc_fru& o = h.fru;
        o = ktzc_fru{};
        o.struct_size = sizeof o;
        o.kind = f->kind;
        o.bay = f->bay;
        o.data_offset = f->dataOffset;
        const size_t n = std::min(f->data.size(), sizeof o.data);
        o.data_length = static_cast<uint16_t>(n);
        std::memcpy(o.data, f->data.data(), n);
        m->fru = &o;
    }
    else if (const auto* e = std::get_if<ktzclient::LogEvent>(&h.decoded.body))
    {
        ktzc_log_event& o = h.logEvent;
        o = ktzc_log_event{};
        o.struct_size = sizeof o;
        std::copy(std::begin(e->values), std::end(e->values), o.values);
        o.message_id = e->messageId.c_str();
        o.has_args = e->hasArgs ? 1 : 0;
        for (const auto& a : e->args)
        {
            h.argPointers.push_back(a.c_str());
        }
        o.arg_count = h.argPointers.size();
        o.args = h.argPointers.empty() ? nullptr : h.argPointers.data();
        o.text = e->hasText ? e->text.c_str() : nullptr;
        m->log_event = &o;
    }
}

} // namespace

const ktzc_event* ktzc_client::Hand()
{
    auto& h = handed;
    h.item = std::move(queue.front());
    queue.pop_front();
    ktzc_event* ev = &h.event;
    *ev = ktzc_event{};
    ev->struct_size = sizeof *ev;
    ev->kind = h.item.kind;
    const bool fresh = h.item.kind == KTZC_EVENT_RECONNECTED || h.item.kind == KTZC_EVENT_CONNECTED;
    ev->client_id = fresh ? h.item.clientId : clientId;
    ev->error = h.item.error;
    ev->goodbye_reason = h.item.goodbyeReason;
    ev->text = h.item.text.c_str();
    if (h.item.kind == KTZC_EVENT_MESSAGE)
    {
        FillMessage(h);
        ev->message = &h.message;
    }
    else if (h.item.kind == KTZC_EVENT_REPLY)
    {
        h.reply = ktzc_reply{};
        h.reply.struct_size = sizeof h.reply;
        h.reply.seq = h.item.replySeq;
        h.reply.error = h.item.error;
        h.reply.status = h.item.replyStatus;
        h.reply.data = h.item.replyData.empty() ? nullptr : h.item.replyData.data();
        h.reply.size = h.item.replyData.size();
        ev->reply = &h.reply;
    }
    return ev;
}
