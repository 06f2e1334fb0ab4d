user_pref("a", 1);
user_pref("network.proxy.http", "");
user_pref("network.proxy.ssl", "h");
last