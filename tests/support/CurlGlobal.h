#pragma once

// Test programs that make requests in-process get curl_global_init once, before main and so
// before any thread, and lose every proxy variable so that requests to 127.0.0.1 stay local.
// Calling this (the kit's servers do) links that set-up into the program.
void RequireCurlGlobal();

// Removes http_proxy, https_proxy, all_proxy and no_proxy, lower and upper case.
void ClearProxyEnvironment();
