package gameserver;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/** Runs a child JVM (or a command wrapping one) in a directory and captures its output. */
final class ChildJvm {
    private ChildJvm() {}

    record Result(int exit, String out, String err) {
        /** Problems every child must avoid: JNI check or native-access warnings. */
        String warnings() {
            return out.contains("WARNING") || err.contains("WARNING")
                    ? "WARNING printed: " + Result.this : null;
        }

        @Override
        public String toString() {
            return "exit " + exit + ", stdout " + show(out) + ", stderr " + show(err);
        }
    }

    /**
     * Runs {@code cmd} in {@code dir} with a clean environment: no library path, no options
     * injected through JAVA_TOOL_OPTIONS, a UTF-8 locale, and {@code env} on top (a null
     * value removes the variable).
     */
    static Result run(List<String> cmd, Path dir, Map<String, String> env)
            throws IOException, InterruptedException {
        ProcessBuilder pb = new ProcessBuilder(cmd).directory(dir.toFile());
        Map<String, String> e = pb.environment();
        e.remove("LD_LIBRARY_PATH");
        e.remove("JAVA_TOOL_OPTIONS");
        e.remove("JDK_JAVA_OPTIONS");
        e.remove("_JAVA_OPTIONS");
        e.remove("CLASSPATH");
        e.put("LC_ALL", "C.UTF-8");
        for (Map.Entry<String, String> kv : env.entrySet()) {
            if (kv.getValue() == null) {
                e.remove(kv.getKey());
            } else {
                e.put(kv.getKey(), kv.getValue());
            }
        }
        Path out = Files.createTempFile("child", ".out");
        Path err = Files.createTempFile("child", ".err");
        try {
            Process p = pb.redirectOutput(out.toFile()).redirectError(err.toFile()).start();
            if (!p.waitFor(120, TimeUnit.SECONDS)) {
                p.destroyForcibly().waitFor();
                return new Result(-1, "", "child timed out");
            }
            return new Result(p.exitValue(), Files.readString(out, StandardCharsets.UTF_8),
                    Files.readString(err, StandardCharsets.UTF_8));
        } finally {
            Files.deleteIfExists(out);
            Files.deleteIfExists(err);
        }
    }

    static List<String> java(String java, String... args) {
        List<String> cmd = new ArrayList<>();
        cmd.add(java);
        cmd.add("-Xcheck:jni");
        cmd.addAll(List.of(args));
        return cmd;
    }

    static void deleteTree(Path dir) throws IOException {
        if (!Files.exists(dir)) {
            return;
        }
        try (Stream<Path> walk = Files.walk(dir)) {
            for (Path q : walk.sorted(Comparator.reverseOrder()).toList()) {
                q.toFile().setWritable(true);
                Files.delete(q);
            }
        }
    }

    static String show(String s) {
        StringBuilder b = new StringBuilder("\"");
        for (char c : s.toCharArray()) {
            switch (c) {
                case '\n' -> b.append("\\n");
                case '\r' -> b.append("\\r");
                case '\t' -> b.append("\\t");
                case '"', '\\' -> b.append('\\').append(c);
                default -> {
                    if (c >= 0x20 && c != 0x7f) {
                        b.append(c);
                    } else {
                        b.append(String.format("\\x%02X", (int) c));
                    }
                }
            }
        }
        return b.append('"').toString();
    }

    static String require(String property) {
        String v = System.getProperty(property);
        if (v == null || v.isEmpty()) {
            System.err.println("set -D" + property);
            System.exit(2);
        }
        return v;
    }
}
