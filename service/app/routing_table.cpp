// The routing table: every room's routes in the order a request tries them.
#include "app/service.h"

#include "pages/pages.h"

namespace {

// The pages' style sheet and script, and the front page, which sends people to registration.
std::vector<CRoute> SiteRoutes() {
  std::vector<CRoute> routes;
  for (const char* path : {"/static/velk.css", "/static/velk.js"}) {
    CRoute route;
    route.prefix = path;
    route.handle = [](const CHttpRequest& request, std::string_view, CRoute::Reply reply) {
      const std::string_view target = request.target;
      reply(StaticFileResponse(request, target.substr(0, target.find('?'))));
    };
    routes.push_back(std::move(route));
  }
  CRoute home;
  home.prefix = "/";
  home.kind = CRoute::EKind::kPage;
  home.handle = [](const CHttpRequest&, std::string_view, CRoute::Reply reply) {
    CHttpResponse response = TextResponse(302, "See /user/register\n");
    response.fields.emplace_back("Location", "/user/register");
    reply(std::move(response));
  };
  routes.push_back(std::move(home));
  return routes;
}

void Append(std::vector<CRoute>& routes, std::vector<CRoute> more) {
  for (CRoute& route : more) routes.push_back(std::move(route));
}

}  // namespace

std::vector<CRoute> CSignatureService::Routes(std::vector<CRoute> more) {
  std::vector<CRoute> routes = std::move(more);
  Append(routes, m_reports.Routes());
  Append(routes, m_register.Routes());
  Append(routes, m_account.Routes());
  Append(routes, m_signIn.Routes());
  Append(routes, m_preview.Routes());
  Append(routes, m_historySettings.Routes());
  // Before the images: "/signature/NAME/recent.png" is a history signature, not a template.
  Append(routes, m_history.Routes());
  Append(routes, m_images.Routes());
  Append(routes, m_listenBrainz.Routes());
  Append(routes, m_audioscrobbler.Routes());
  Append(routes, SiteRoutes());
  return routes;
}
