package com.merivast.agent;

/** An application whose serviceMain fails at once, for the host's failure path. */
public final class MerivastMain {
    private MerivastMain() {}

    public static void serviceMain(String installDir) {
        throw new IllegalStateException("serviceMain fails on purpose in " + installDir);
    }

    public static void serviceStop() {}
}
