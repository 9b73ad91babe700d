package com.merivast.exiting;

/**
 * An application whose serviceMain ends the whole process with System.exit right after it has
 * started, with the status in the system property merivast.test.exitStatus, for the host's exit
 * hook. Named by main.class in the test's conf\service.properties.
 */
public final class ExitingMain {
    static final String EXIT_STATUS_PROPERTY = "merivast.test.exitStatus";

    private ExitingMain() {}

    public static void serviceMain(String installDir) {
        Integer status = Integer.getInteger(EXIT_STATUS_PROPERTY);
        if (status == null) {
            throw new IllegalStateException("-D" + EXIT_STATUS_PROPERTY + "=<n> is not set");
        }
        // The host points the console output at logs\stdout.log.
        System.out.println("ExitingMain: serviceMain started in " + installDir
                + ", calls System.exit(" + status + ")");
        System.exit(status);
    }

    public static void serviceStop() {}
}
