package com.merivast.bridge;

import java.net.URL;
import java.net.URLClassLoader;

/**
 * The bridge's system class loader (-Djava.system.class.loader): the class path the host names
 * in -Djava.class.path is added to it once the VM is created, so that the application's classes
 * load through the system class loader, as in a real VM. The JDK's launcher helper and its
 * launcher agents find a jar's classes there.
 */
public final class BridgeLoader extends URLClassLoader {
    static {
        registerAsParallelCapable();
    }

    public BridgeLoader(ClassLoader parent) {
        super(new URL[0], parent);
    }

    void addJar(URL url) {
        addURL(url);
    }
}
