package com.merivast.bridge;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.lang.reflect.Array;
import java.lang.reflect.Field;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The Java end of the bridge runtime (tests/bridge/jvm.dll): the JNI calls a Windows host makes
 * on its stand-in jvm.dll arrive here over loopback and run on this machine's own JVM.
 *
 * <p>Arguments: the port the DLL listens on and the token it expects back. This process connects
 * once to that port (the lifeline: when it drops, the host process is gone and so is this VM),
 * then accepts one connection per native thread attached to the VM. The first one belongs to the
 * thread that created the VM and is served on this "main" thread, as in a real VM.
 *
 * <p>The lifeline carries one line from here: "ENDED", when the VM ends after DestroyJavaVM
 * because the application's last non-daemon thread has ended. A VM that ends without it was ended
 * by System.exit (or Runtime.halt), which the DLL reports to the host through its exit hook.
 *
 * <p>Each request and each reply is one line of tab-separated fields, escaped so that a field
 * never holds a tab or a line break.
 */
public final class BridgeMain {
    private static final Map<Integer, Object> OBJECTS = new ConcurrentHashMap<>();
    private static final AtomicInteger NEXT_ID = new AtomicInteger(1);
    private static final CountDownLatch DESTROYED = new CountDownLatch(1);
    private static volatile ClassLoader appLoader = ClassLoader.getPlatformClassLoader();
    private static final Map<String, String> ALIASES = new ConcurrentHashMap<>();
    /** The exception the last call on this thread's channel ended with. */
    private static final ThreadLocal<Throwable> LAST_THROWN = new ThreadLocal<>();
    private static String token;
    private static Socket lifeline;

    private BridgeMain() {}

    public static void main(String[] args) throws Exception {
        token = args[1];
        ServerSocket server = new ServerSocket(0, 50, InetAddress.getLoopbackAddress());
        lifeline = new Socket(InetAddress.getLoopbackAddress(), Integer.parseInt(args[0]));
        send(lifeline.getOutputStream(), "BRIDGE", token, Integer.toString(server.getLocalPort()),
                Long.toString(ProcessHandle.current().pid()));
        daemon("bridge-lifeline", () -> watchLifeline(lifeline));

        Channel first = acceptChannel(server);
        if (first == null) {
            Runtime.getRuntime().halt(4);
        }
        daemon("bridge-accept", () -> acceptMore(server));
        serve(first);
        // The creating thread may have detached; the VM lives on until DestroyJavaVM.
        DESTROYED.await();
        // As a real DestroyJavaVM does, wait for the application's non-daemon threads. Threads
        // may still attach meanwhile (the host's stop, as a daemon), so the server stays open.
        awaitApplicationThreads();
        if (!shutdownStarted()) {
            send(lifeline.getOutputStream(), "ENDED");
        }
        // Returning lets the launcher end the VM: it runs the shutdown hooks, then exits.
    }

    private static void awaitApplicationThreads() {
        Thread self = Thread.currentThread();
        while (true) {
            Thread other = null;
            for (Thread thread : Thread.getAllStackTraces().keySet()) {
                if (thread != self && !thread.isDaemon() && thread.isAlive()) {
                    other = thread;
                    break;
                }
            }
            if (other == null) {
                return;
            }
            try {
                other.join();
            } catch (InterruptedException e) {
                // Only the threads' end ends the wait.
            }
        }
    }

    /** True once System.exit has begun: the runtime then refuses new shutdown hooks. */
    private static boolean shutdownStarted() {
        Thread probe = new Thread(() -> {});
        try {
            Runtime.getRuntime().addShutdownHook(probe);
        } catch (IllegalStateException e) {
            return true;
        }
        Runtime.getRuntime().removeShutdownHook(probe);
        return false;
    }

    private static void daemon(String name, Runnable body) {
        Thread thread = new Thread(body, name);
        thread.setDaemon(true);
        thread.start();
    }

    private static void watchLifeline(Socket lifeline) {
        try {
            BufferedReader in = reader(lifeline);
            String line;
            while ((line = in.readLine()) != null) {
                if (line.equals("HALT")) {
                    System.err.println("bridge: halted by the host");
                    Runtime.getRuntime().halt(3);
                }
            }
        } catch (IOException e) {
            // A reset is the same as an end: the host is gone.
        }
        // The host process has ended without destroying the VM: end as abruptly as it did.
        System.err.println("bridge: host connection lost, halting");
        Runtime.getRuntime().halt(2);
    }

    /** A channel with the one reader that may buffer its input. */
    private static final class Channel {
        final Socket socket;
        final BufferedReader in;
        boolean daemon; // its native thread was attached as a daemon
        String name = ""; // the attach arguments' name, if any

        Channel(Socket socket) throws IOException {
            this.socket = socket;
            this.in = reader(socket);
            // Every request waits for its reply; batching small lines only adds delay.
            socket.setTcpNoDelay(true);
        }
    }

    private static Channel acceptChannel(ServerSocket server) {
        while (true) {
            Socket socket;
            try {
                socket = server.accept();
            } catch (IOException e) {
                return null;
            }
            try {
                Channel channel = new Channel(socket);
                String[] hello = split(channel.in.readLine());
                if (hello.length >= 2 && hello[0].equals("HELLO") && hello[1].equals(token)) {
                    channel.daemon = hello.length > 2 && hello[2].equals("daemon");
                    channel.name = hello.length > 3 ? hello[3] : "";
                    return channel;
                }
            } catch (IOException e) {
                // Not the host; wait for the next one.
            }
            closeQuietly(socket);
        }
    }

    private static void acceptMore(ServerSocket server) {
        Channel channel;
        while ((channel = acceptChannel(server)) != null) {
            final Channel accepted = channel;
            // As its native thread was attached; threads the application starts from it
            // inherit that.
            Thread thread = new Thread(() -> serve(accepted));
            thread.setDaemon(accepted.daemon);
            if (!accepted.name.isEmpty()) thread.setName(accepted.name);
            thread.start();
        }
    }

    private static void serve(Channel channel) {
        Thread.currentThread().setContextClassLoader(appLoader);
        try {
            OutputStream out = channel.socket.getOutputStream();
            String line;
            while ((line = channel.in.readLine()) != null) {
                String[] request = split(line);
                switch (request[0]) {
                    case "DETACH":
                        return;
                    case "DETACH_UNCAUGHT":
                        // As a real VM's detach: the thread's handler gets what it ended with.
                        Thread self = Thread.currentThread();
                        self.getUncaughtExceptionHandler().uncaughtException(self, LAST_THROWN.get());
                        return;
                    case "DESTROY":
                        DESTROYED.countDown();
                        return;
                    default:
                        send(out, handle(request));
                }
            }
        } catch (IOException e) {
            System.err.println("bridge: channel failed: " + e);
        } finally {
            closeQuietly(channel.socket);
        }
    }

    private static String[] handle(String[] request) {
        try {
            switch (request[0]) {
                case "PROP":
                    System.setProperty(request[1], request[2]);
                    return new String[] {"OK", request[2]};
                case "FILEPROP":
                    // A file URL of a Windows path, given here as the path Wine maps it to.
                    String url = "file:" + realPath(request[2]);
                    System.setProperty(request[1], url);
                    return new String[] {"OK", url};
                case "CLASSPATH":
                    return setClassPath(request);
                case "ALIAS":
                    makeAlias(request[1], request[2]);
                    return new String[] {"OK"};
                case "FINDCLASS":
                    return findClass(request[1]);
                case "METHOD":
                    return staticMethod((Class<?>) OBJECTS.get(Integer.parseInt(request[1])),
                            request[2], request[3]);
                case "STRING":
                    return reference(decodeUnits(request[1]));
                case "NEWARRAY":
                    return newArray(request);
                case "SETELEMENT":
                    return setElement(request);
                case "CALLSTATIC":
                    return callStatic(request);
                case "FIELD":
                    return staticField((Class<?>) OBJECTS.get(Integer.parseInt(request[1])),
                            request[2], request[3]);
                case "IMETHOD":
                    return instanceMethod((Class<?>) OBJECTS.get(Integer.parseInt(request[1])),
                            request[2], request[3]);
                case "CALL":
                    return call(OBJECTS.get(Integer.parseInt(request[1])), request);
                case "CHARS":
                    return new String[] {"TEXT", encodeUnits((String) OBJECTS.get(
                            Integer.parseInt(request[1])))};
                case "LENGTH":
                    return new String[] {"OK", Integer.toString(
                            Array.getLength(OBJECTS.get(Integer.parseInt(request[1]))))};
                case "ELEMENT":
                    return element(request);
                case "LONGS":
                    return longs(request);
                default:
                    return new String[] {"ERR", "unknown request " + request[0]};
            }
        } catch (RuntimeException e) {
            // A broken request is the bridge's own fault; the DLL traps on ERR.
            e.printStackTrace();
            return new String[] {"ERR", e.toString()};
        }
    }

    private static String[] setClassPath(String[] request) {
        List<URL> urls = new ArrayList<>();
        StringBuilder classPath = new StringBuilder();
        for (int i = 1; i < request.length; ++i) {
            String entry = realPath(request[i]);
            if (classPath.length() > 0) classPath.append(File.pathSeparatorChar);
            classPath.append(entry);
            try {
                urls.add(Paths.get(entry).toUri().toURL());
            } catch (IOException | RuntimeException e) {
                // A real VM skips class path entries it cannot use.
                System.err.println("bridge: class path entry skipped: " + entry);
            }
        }
        System.setProperty("java.class.path", classPath.toString());
        ClassLoader system = ClassLoader.getSystemClassLoader();
        if (system instanceof BridgeLoader) {
            // The class path's loader is the system class loader, as in a real VM.
            for (URL url : urls) ((BridgeLoader) system).addJar(url);
            appLoader = system;
        } else {
            appLoader = new URLClassLoader(urls.toArray(new URL[0]),
                    ClassLoader.getPlatformClassLoader());
        }
        Thread.currentThread().setContextClassLoader(appLoader);
        return new String[] {"OK", classPath.toString()};
    }

    // Wine names C: files through dosdevices/c:, whose colon would split a class path.
    private static String realPath(String path) {
        try {
            return Paths.get(path).toRealPath().toString();
        } catch (IOException | RuntimeException e) {
            return Paths.get(path).toAbsolutePath().normalize().toString();
        }
    }

    /** A Windows path below an aliased directory, as this Linux VM can open it. */
    private static String localPath(String windowsPath) {
        for (Map.Entry<String, String> alias : ALIASES.entrySet()) {
            if (windowsPath.startsWith(alias.getKey() + "\\")) {
                return alias.getValue()
                        + windowsPath.substring(alias.getKey().length()).replace('\\', '/');
            }
        }
        return windowsPath;
    }

    // Code of this Linux VM resolves the Windows install directory, which it gets as a plain
    // string, as a relative path; a link of that very name in the working directory (a fresh
    // one, removed by the launching shell) sends it to the directory Wine maps it to.
    private static void makeAlias(String windowsPath, String linuxPath) {
        try {
            Path link = Paths.get(windowsPath).toAbsolutePath();
            Files.deleteIfExists(link);
            Files.createSymbolicLink(link, Paths.get(realPath(linuxPath)));
            ALIASES.put(windowsPath, link.toString());
        } catch (IOException | RuntimeException e) {
            System.err.println("bridge: no alias for " + windowsPath + ": " + e);
        }
    }

    private static String[] findClass(String jniName) {
        try {
            return reference(Class.forName(jniName.replace('/', '.'), true, appLoader));
        } catch (ClassNotFoundException e) {
            return thrown(withoutBridgeFrames(new NoClassDefFoundError(jniName), e));
        } catch (LinkageError e) {
            return thrown(e);
        }
    }

    /** As a real VM's lookups: the class is initialised first, on the calling thread. */
    private static String[] initialise(Class<?> cls) {
        try {
            Class.forName(cls.getName(), true, cls.getClassLoader());
            return null;
        } catch (ClassNotFoundException e) {
            return null; // an array or hidden class: nothing to initialise by name
        } catch (LinkageError e) {
            return thrown(e);
        }
    }

    private static String[] staticField(Class<?> cls, String name, String signature) {
        String[] failed = initialise(cls);
        if (failed != null) return failed;
        for (Field f : cls.getDeclaredFields()) {
            if (Modifier.isStatic(f.getModifiers()) && f.getName().equals(name)
                    && typeDescriptor(f.getType()).equals(signature)) {
                f.setAccessible(true);
                return reference(f);
            }
        }
        return thrown(withoutBridgeFrames(new NoSuchFieldError(name), null));
    }

    private static String[] staticMethod(Class<?> cls, String name, String signature) {
        String[] failed = initialise(cls);
        if (failed != null) return failed;
        for (Class<?> c = cls; c != null; c = c.getSuperclass()) {
            for (Method m : c.getDeclaredMethods()) {
                if (Modifier.isStatic(m.getModifiers()) && m.getName().equals(name)
                        && descriptor(m).equals(signature)) {
                    m.setAccessible(true);
                    return reference(m);
                }
            }
        }
        return thrown(withoutBridgeFrames(new NoSuchMethodError(name), null));
    }

    /** A public instance method, declared or inherited (an interface's too), as GetMethodID. */
    private static String[] instanceMethod(Class<?> cls, String name, String signature) {
        String[] failed = initialise(cls);
        if (failed != null) return failed;
        for (Method m : cls.getMethods()) {
            if (!Modifier.isStatic(m.getModifiers()) && m.getName().equals(name)
                    && descriptor(m).equals(signature)) {
                return reference(m);
            }
        }
        return thrown(withoutBridgeFrames(new NoSuchMethodError(name), null));
    }

    private static String[] element(String[] request) {
        Object[] array = (Object[]) OBJECTS.get(Integer.parseInt(request[1]));
        try {
            Object value = array[Integer.parseInt(request[2])];
            return value == null ? new String[] {"NULL"} : reference(value);
        } catch (ArrayIndexOutOfBoundsException e) {
            return thrown(e);
        }
    }

    private static String[] longs(String[] request) {
        long[] array = (long[]) OBJECTS.get(Integer.parseInt(request[1]));
        int start = Integer.parseInt(request[2]);
        int length = Integer.parseInt(request[3]);
        String[] reply = new String[length + 1];
        reply[0] = "OK";
        for (int i = 0; i < length; ++i) reply[i + 1] = Long.toString(array[start + i]);
        return reply;
    }

    private static String encodeUnits(String text) {
        char[] hex = new char[text.length() * 4];
        for (int i = 0; i < text.length(); ++i) {
            char unit = text.charAt(i);
            for (int d = 0; d < 4; ++d) {
                hex[4 * i + d] = Character.forDigit((unit >> (12 - 4 * d)) & 0xF, 16);
            }
        }
        return new String(hex);
    }

    private static String[] newArray(String[] request) {
        Object[] array = (Object[]) Array.newInstance(
                (Class<?>) OBJECTS.get(Integer.parseInt(request[1])), Integer.parseInt(request[2]));
        try {
            Arrays.fill(array, argument(Object.class, request[3]));
        } catch (ArrayStoreException e) {
            return thrown(e);
        }
        return reference(array);
    }

    private static String[] setElement(String[] request) {
        Object[] array = (Object[]) OBJECTS.get(Integer.parseInt(request[1]));
        try {
            array[Integer.parseInt(request[2])] = argument(Object.class, request[3]);
            return new String[] {"OK"};
        } catch (ArrayIndexOutOfBoundsException | ArrayStoreException e) {
            return thrown(e);
        }
    }

    private static String[] callStatic(String[] request) {
        return call(null, request);
    }

    /** A static call when `target` is null; VOID, NULL, BOOLEAN, REF or EXC. */
    private static String[] call(Object target, String[] request) {
        Method method = (Method) OBJECTS.get(Integer.parseInt(request[2]));
        Class<?>[] types = method.getParameterTypes();
        Object[] args = new Object[types.length];
        for (int i = 0; i < types.length; ++i) {
            args[i] = argument(types[i], request[3 + i]);
        }
        if (method.getDeclaringClass().getName().equals("sun.launcher.LauncherHelper")) {
            // The jar's Windows path, which the JDK opens as a file.
            for (int i = 0; i < args.length; ++i) {
                if (args[i] instanceof String) args[i] = localPath((String) args[i]);
            }
        }
        try {
            Object result = method.invoke(target, args);
            if (method.getReturnType() == void.class) return new String[] {"VOID"};
            if (result == null) return new String[] {"NULL"};
            if (method.getReturnType() == boolean.class) {
                return new String[] {"BOOLEAN", result.toString()};
            }
            if (result instanceof Integer) return new String[] {"INT", result.toString()};
            if (result instanceof Class) {
                return new String[] {"REF", reference(result)[1],
                        ((Class<?>) result).getName().replace('.', '/')};
            }
            return reference(result);
        } catch (InvocationTargetException e) {
            // The host's ExceptionDescribe prints its stack trace, as a real VM's would.
            System.err.println("bridge: " + method.getName() + " threw; it is pending in the host");
            return thrown(withoutCallerFrames(e.getCause()));
        } catch (IllegalAccessException e) {
            return thrown(new IllegalAccessError(e.getMessage()));
        }
    }

    /**
     * The exception as a real VM shows one thrown out of a method the host called: its trace ends
     * at that method, without the reflective call and the bridge's frames below it.
     */
    private static Throwable withoutCallerFrames(Throwable thrown) {
        StackTraceElement[] trace = thrown.getStackTrace();
        // This method's caller and everything below it are the bridge's own.
        int end = trace.length - (new Throwable().getStackTrace().length - 1);
        if (end <= 0 || !trace[end].getClassName().equals(BridgeMain.class.getName())) {
            return thrown; // a trace cut short (a deep recursion's): left as it is
        }
        while (end > 0 && isReflection(trace[end - 1].getClassName())) {
            --end;
        }
        thrown.setStackTrace(Arrays.copyOf(trace, end));
        return thrown;
    }

    private static boolean isReflection(String className) {
        return className.startsWith("jdk.internal.reflect.")
                || className.equals("java.lang.reflect.Method");
    }

    private static Object argument(Class<?> type, String value) {
        char kind = value.charAt(0);
        String rest = value.substring(1);
        switch (kind) {
            case 'N':
                return null;
            case 'L':
                return OBJECTS.get(Integer.parseInt(rest));
            case 'J':
                return Long.parseLong(rest);
            case 'F':
                return Float.intBitsToFloat(Integer.parseInt(rest));
            case 'D':
                return Double.longBitsToDouble(Long.parseLong(rest));
            default:
                int number = Integer.parseInt(rest);
                if (type == boolean.class) return number != 0;
                if (type == byte.class) return (byte) number;
                if (type == char.class) return (char) number;
                if (type == short.class) return (short) number;
                return number;
        }
    }

    private static String descriptor(Method m) {
        StringBuilder text = new StringBuilder("(");
        for (Class<?> type : m.getParameterTypes()) {
            text.append(typeDescriptor(type));
        }
        return text.append(')').append(typeDescriptor(m.getReturnType())).toString();
    }

    private static String typeDescriptor(Class<?> type) {
        if (type.isArray()) return type.getName().replace('.', '/');
        if (type == void.class) return "V";
        if (type == boolean.class) return "Z";
        if (type == byte.class) return "B";
        if (type == char.class) return "C";
        if (type == short.class) return "S";
        if (type == int.class) return "I";
        if (type == long.class) return "J";
        if (type == float.class) return "F";
        if (type == double.class) return "D";
        return "L" + type.getName().replace('.', '/') + ";";
    }

    private static String[] reference(Object object) {
        int id = NEXT_ID.getAndIncrement();
        OBJECTS.put(id, object);
        return new String[] {"REF", Integer.toString(id)};
    }

    /** An error made here for a failed lookup: its own frames would be the bridge's. */
    private static Throwable withoutBridgeFrames(Throwable error, Throwable cause) {
        error.setStackTrace(new StackTraceElement[0]);
        if (cause != null) error.initCause(cause);
        return error;
    }

    /** The class, the message, and the description ExceptionDescribe prints in the host. */
    private static String[] thrown(Throwable t) {
        LAST_THROWN.set(t);
        String message = t.getMessage();
        StringWriter trace = new StringWriter();
        t.printStackTrace(new PrintWriter(trace, true));
        String description =
                "Exception in thread \"" + Thread.currentThread().getName() + "\" " + trace;
        return new String[] {"EXC", t.getClass().getName(), message == null ? "" : message,
                description, reference(t)[1]};
    }

    // UTF-16 units as hex, four digits each, so unpaired surrogates survive.
    private static String decodeUnits(String hex) {
        char[] units = new char[hex.length() / 4];
        for (int i = 0; i < units.length; ++i) {
            units[i] = (char) Integer.parseInt(hex.substring(4 * i, 4 * i + 4), 16);
        }
        return new String(units);
    }

    private static BufferedReader reader(Socket socket) throws IOException {
        return new BufferedReader(new InputStreamReader(socket.getInputStream(), StandardCharsets.UTF_8));
    }

    private static void send(OutputStream out, String... fields) throws IOException {
        StringBuilder line = new StringBuilder();
        for (int i = 0; i < fields.length; ++i) {
            if (i > 0) line.append('\t');
            escape(fields[i], line);
        }
        out.write(line.append('\n').toString().getBytes(StandardCharsets.UTF_8));
        out.flush();
    }

    private static void escape(String field, StringBuilder out) {
        for (int i = 0; i < field.length(); ++i) {
            char c = field.charAt(i);
            switch (c) {
                case '\\': out.append("\\\\"); break;
                case '\t': out.append("\\t"); break;
                case '\n': out.append("\\n"); break;
                case '\r': out.append("\\r"); break;
                default: out.append(c);
            }
        }
    }

    private static String[] split(String line) {
        if (line == null) return new String[] {""};
        List<String> fields = new ArrayList<>();
        StringBuilder field = new StringBuilder();
        for (int i = 0; i < line.length(); ++i) {
            char c = line.charAt(i);
            if (c == '\t') {
                fields.add(field.toString());
                field.setLength(0);
            } else if (c == '\\' && i + 1 < line.length()) {
                char next = line.charAt(++i);
                field.append(next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next);
            } else {
                field.append(c);
            }
        }
        fields.add(field.toString());
        return fields.toArray(new String[0]);
    }

    private static void closeQuietly(Socket socket) {
        try {
            socket.close();
        } catch (IOException e) {
            // Nothing left to do with it.
        }
    }
}
