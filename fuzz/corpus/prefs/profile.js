user_pref("browser.startup.page", 3);
user_pref("network.proxy.type", 2);
user_pref("network.proxy.http", "10.0.0.1");
user_pref("network.proxy.http_port", 3128);
user_pref("network.proxy.socks", "10.0.0.2");
user_pref("network.proxy.socks_remote_dns", false);
