#pragma once

// The default update server. The host is a reserved name that never resolves, so a run
// without -u, --http or --https never reaches a real server by accident.
#define UPDATE_SERVER_DEFAULT_HOST "update.tavrin.invalid"
#define UPDATE_SERVER_HTTP_URL "http://" UPDATE_SERVER_DEFAULT_HOST "/cgi/u"
#define UPDATE_SERVER_HTTPS_URL "https://" UPDATE_SERVER_DEFAULT_HOST "/cgi/u"
