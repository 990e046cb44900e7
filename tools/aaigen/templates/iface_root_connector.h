
    // A proxy of the service's root object over a new connection; its version is checked.
    static std::shared_ptr<@name@> Connect();
    // The same with the application's own broker bundle, used for everything received over the
    // connection.
    static std::shared_ptr<@name@> ConnectUsingBrokers(std::shared_ptr<InterfaceBrokers> brokers);

protected:
    // For the service's implementation class: serves `implementation` as the root object, until
    // UnregisterServer.
    static void RegisterServer(std::shared_ptr<@name@> implementation);
    static void RegisterServerUsingBrokers(std::shared_ptr<@name@> implementation,
                                           std::shared_ptr<InterfaceBrokers> brokers);
    static void UnregisterServer();
