// The route table: method, path pattern and the privilege a request needs,
// registered together by each resource family's Register...Routes function.
// A pattern's segments are literals, "{}" (any one non-empty segment, handed
// to the handler) or, last, "{*}" (the rest of the path, possibly empty:
// for a tree of static files). The most specific pattern that matches a path
// wins: literal segments before "{}" before "{*}". A route marked
// kFromPicture answers from the chassis picture and the configuration alone,
// the same to every caller: the service keeps its answer until the picture
// changes.
#ifndef KTZREDFISH_ROUTER_H
#define KTZREDFISH_ROUTER_H

#include "http.h"
#include "schema.h"
#include "target.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ktzredfish
{

class Service;

// Who sent a request.
struct Identity
{
    std::string user;
    Role role = Role::ReadOnly;
    std::string sessionId; // "" when authenticated with Basic
};

// One request on its way through the service. A handler fills `res`; one
// that must wait (for a password check) sets `deferred` and calls Finish()
// itself later.
struct Exchange
{
    Request req;
    Target target;
    std::vector<std::string> params;
    std::optional<Identity> who;
    Response res;
    bool deferred = false;
    std::function<void(Response)> done;

    void Finish();
};

using ExchangePtr = std::shared_ptr<Exchange>;
using Handler = void (*)(Service&, const ExchangePtr&);

enum class Answer
{
    PerRequest,
    FromPicture,
};
inline constexpr Answer kFromPicture = Answer::FromPicture;

struct Route
{
    Method method;
    std::vector<std::string> pattern;
    Privilege privilege;
    Handler handler;
    Answer answer = Answer::PerRequest;
    int score = 0;   // specificity
    size_t path = 0; // routes with the same pattern share this number
};

class Router
{
  public:
    void Add(Method method, std::string_view pattern, Privilege privilege, Handler handler,
             Answer answer = Answer::PerRequest);

    struct Match
    {
        const Route* route = nullptr;           // null: no route for this method
        std::vector<std::string> params;        // the "{}" segments, then the "{*}" rest
        std::vector<Method> allowed;            // the methods the matched path takes
        bool pathKnown = false;                 // some pattern matched the path
        Privilege privilege = Privilege::Login; // what the path needs (Login when unknown)
    };
    // HEAD looks for a GET route.
    Match Find(Method method, const Target& target) const;

  private:
    // Whether the route's pattern matches; its parameters in *params when
    // that is not null.
    static bool Matches(const Route& r, const Target& t, std::vector<std::string>* params);
    std::vector<Route> routes_;
};

} // namespace ktzredfish

#endif
