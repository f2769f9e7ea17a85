// EventService: the server-sent event stream of chassis log events and of
// sensors' health and state changes. No push subscriptions: the service
// reaches out to nobody, so Subscriptions stays empty and read-only.
#include "messages.h"
#include "registry.h"
#include "resource.h"
#include "service.h"

namespace ktzredfish
{

namespace
{

void GetEventService(Service& svc, const ExchangePtr& ex)
{
    SetJson(ex->res, {{"@odata.id", "/redfish/v1/EventService"},
                      {"@odata.type", odata::kEventService},
                      {"Id", "EventService"},
                      {"Name", "Event Service"},
                      {"Description",
                       "Server-sent events; a stream reopened with Last-Event-ID gets what it missed of "
                       "the last " +
                           std::to_string(svc.events().capacity()) + " events"},
                      {"ServiceEnabled", true},
                      {"Status", StatusJson(State::Enabled, Health::OK)},
                      {"ServerSentEventUri", kEventStreamPath},
                      {"EventFormatTypes", {"Event"}},
                      {"RegistryPrefixes", {kChassisRegistryPrefix, "ResourceEvent", "Base"}},
                      {"SSEFilterPropertiesSupported",
                       {{"EventFormatType", false},
                        {"MessageId", false},
                        {"MetricReportDefinition", false},
                        {"OriginResource", false},
                        {"RegistryPrefix", false},
                        {"ResourceType", false},
                        {"SubordinateResources", false}}},
                      {"Subscriptions", Link("/redfish/v1/EventService/Subscriptions")}});
}

void GetSubscriptions(Service&, const ExchangePtr& ex)
{
    SetJson(ex->res, Collection("/redfish/v1/EventService/Subscriptions", odata::kEventDestinationCollection,
                                "Event Subscriptions", {}));
}

void GetEventStream(Service& svc, const ExchangePtr& ex)
{
    ex->res.status = 200;
    ex->res.Set("content-type", "text/event-stream");
    ex->res.Set("cache-control", "no-cache");
    if (ex->req.method == Method::Head)
    {
        return; // the headers a stream would start with, and no stream
    }
    const std::string sessionId = ex->who->sessionId;
    if (!svc.OpenStream(sessionId))
    {
        ex->res.headers.clear();
        SetError(ex->res, Msg::EventSubscriptionLimitExceeded);
        return;
    }
    auto start = std::make_shared<EventStreamStart>();
    start->replay = svc.events().Replay(ex->req.Header("last-event-id"), svc.WallMs());
    start->sessionId = sessionId;
    ex->res.stream = std::move(start);
}

} // namespace

void RegisterEventRoutes(Router& r)
{
    r.Add(Method::Get, "/redfish/v1/EventService", Privilege::Login, GetEventService);
    r.Add(Method::Get, "/redfish/v1/EventService/Subscriptions", Privilege::Login, GetSubscriptions);
    r.Add(Method::Get, kEventStreamPath, Privilege::Login, GetEventStream);
}

} // namespace ktzredfish
