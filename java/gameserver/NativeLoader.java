package gameserver;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryIteratorException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import java.util.Locale;
import java.util.function.Supplier;

/**
 * Finds and loads the native library, in this order: the file named by the system property
 * {@value #PROPERTY}; {@code System.loadLibrary} (java.library.path); the copy bundled in the
 * jar under {@value #RESOURCE_DIR}OS-ARCH/, extracted to a private file in the directory named
 * by {@value #TMPDIR_PROPERTY} or else first in java.io.tmpdir and then, when that fails (a
 * full or noexec file system), in the user's cache directory. A library that loads but
 * reports another version than this class is refused: it cannot be unloaded, so nothing
 * else is tried after it.
 */
final class NativeLoader {
    static final String PROPERTY = "gameserver.dbiface.library.path";
    static final String TMPDIR_PROPERTY = "gameserver.dbiface.tmpdir";
    static final String NAME = "gameserver_DBIface";
    static final String RESOURCE_DIR = "/META-INF/native/gameserver-dbiface/";

    private NativeLoader() {}

    /**
     * Loads the library by the first route that works and checks its version.
     *
     * @throws UnsatisfiedLinkError naming every route tried and why each failed, or, from
     *     {@link #checkVersion}, when the library that loaded is of another version
     */
    static void load(Supplier<String> nativeVersion) {
        List<String> tried = new ArrayList<>();
        if (loadFromProperty(nativeVersion, tried) || loadFromLibraryPath(nativeVersion, tried)) {
            return;
        }
        String resource = resourceName();
        byte[] image = readBundled(resource, tried);
        if (image != null && loadExtracted(image, resource, nativeVersion, tried)) {
            return;
        }
        throw new UnsatisfiedLinkError("cannot load the native library " + NAME
                + unsupportedPlatform(image != null) + "; tried: " + String.join("; ", tried));
    }

    /**
     * Loads the file named by {@value #PROPERTY}, if set, and returns whether it did; a
     * failure to load is added to {@code tried}.
     */
    private static boolean loadFromProperty(Supplier<String> nativeVersion, List<String> tried) {
        String explicit = System.getProperty(PROPERTY);
        if (explicit == null || explicit.isEmpty()) {
            return false;
        }
        String path = Path.of(explicit).toAbsolutePath().toString();
        try {
            System.load(path);
        } catch (UnsatisfiedLinkError e) {
            tried.add(PROPERTY + "=" + path + " (" + e.getMessage() + ")");
            return false;
        }
        // outside the try: a library of the wrong version must not fall through to the next route
        checkVersion(path, nativeVersion);
        return true;
    }

    /**
     * Loads the library through {@code System.loadLibrary} and returns whether it did; a
     * failure, with the files searched, is added to {@code tried}.
     */
    private static boolean loadFromLibraryPath(Supplier<String> nativeVersion, List<String> tried) {
        List<Path> candidates = libraryPathCandidates();
        try {
            System.loadLibrary(NAME);
        } catch (UnsatisfiedLinkError e) {
            tried.add("java.library.path " + candidates + " (" + e.getMessage() + ")");
            return false;
        }
        checkVersion(loadedFrom(candidates), nativeVersion);
        return true;
    }

    /** The file the library would have in each directory of java.library.path, in order. */
    private static List<Path> libraryPathCandidates() {
        String file = System.mapLibraryName(NAME);
        List<Path> candidates = new ArrayList<>();
        for (String dir : System.getProperty("java.library.path", "").split(
                java.io.File.pathSeparator)) {
            if (!dir.isEmpty()) {
                candidates.add(Path.of(dir, file));
            }
        }
        return candidates;
    }

    /**
     * The first candidate that exists, as the best guess at what {@code loadLibrary} loaded
     * (it does not say), or "java.library.path" when none does.
     */
    private static String loadedFrom(List<Path> candidates) {
        for (Path c : candidates) {
            if (Files.isRegularFile(c)) {
                return c.toAbsolutePath().toString();
            }
        }
        return "java.library.path";
    }

    /**
     * Returns the bundled library's bytes, or null when the jar lacks it or it cannot be read,
     * which is then added to {@code tried}.
     */
    private static byte[] readBundled(String resource, List<String> tried) {
        try {
            byte[] image = readResource(resource);
            if (image == null) {
                tried.add("jar resource " + resource + " (not in the jar)");
            }
            return image;
        } catch (IOException e) {
            tried.add("jar resource " + resource + " (" + e + ")");
            return null;
        }
    }

    /**
     * Extracts {@code image} into each of {@link #extractionDirs} in turn until one copy
     * loads, then checks its version; returns whether one loaded.
     */
    private static boolean loadExtracted(byte[] image, String resource,
            Supplier<String> nativeVersion, List<String> tried) {
        String ownTmp = System.getProperty(TMPDIR_PROPERTY);
        boolean ownDir = ownTmp != null && !ownTmp.isEmpty();
        List<Path> dirs = extractionDirs();
        for (int i = 0; i < dirs.size(); i++) {
            // ours to create; java.io.tmpdir must exist
            if (loadExtractedIn(image, dirs.get(i), i > 0 || ownDir, resource, tried)) {
                checkVersion("jar resource " + resource, nativeVersion);
                return true;
            }
        }
        return false;
    }

    /**
     * Extracts {@code image} into {@code dir} (created first when {@code create}) and loads
     * it, returning whether it loaded; a failure is added to {@code tried} and its copy removed.
     */
    private static boolean loadExtractedIn(byte[] image, Path dir, boolean create,
            String resource, List<String> tried) {
        Path extracted = null;
        try {
            if (create) {
                privateDir(dir);
            }
            requireSafeDir(dir);
            extracted = extract(image, dir);
            System.load(extracted.toString());
            deleteLoaded(extracted);
            return true;
        } catch (IOException | UnsatisfiedLinkError e) {
            tried.add("jar resource " + resource + " extracted to "
                    + (extracted != null ? extracted : dir) + " (" + e.getMessage() + ")");
            if (extracted != null) {
                try {
                    Files.deleteIfExists(extracted);
                } catch (IOException ignored) {
                    // deleteOnExit is still registered
                }
            }
            return false;
        }
    }

    /**
     * The part of the failure message that names this platform and the ones the jar carries,
     * or "" when the jar has a library for it ({@code bundled}, or listed as carried).
     */
    private static String unsupportedPlatform(boolean bundled) {
        String platform = platform();
        List<String> carried = carriedPlatforms();
        return bundled || carried.contains(platform) ? ""
                : " for " + platform + " (os.name=" + System.getProperty("os.name") + ", os.arch="
                        + System.getProperty("os.arch") + "): this jar carries "
                        + (carried.isEmpty() ? "no native library" : "only " + String.join(", ", carried))
                        + ", so build it for this platform and name it with " + PROPERTY;
    }

    /** Where the library that loaded came from, for {@code --version}; null before. */
    static volatile String loadedFrom;

    /** Refuses a loaded library built for another version of this class. */
    static void checkVersion(String where, Supplier<String> nativeVersion) {
        String version;
        try {
            version = nativeVersion.get();
        } catch (UnsatisfiedLinkError e) {
            version = null;  // built before libraries reported their version
        }
        if (!Version.VERSION.equals(version)) {
            throw new UnsatisfiedLinkError("the native library " + NAME + " loaded from " + where
                    + (version == null ? " does not report its version (an older build)"
                            : " is version " + version)
                    + ", but gameserver.DBIface is version " + Version.VERSION
                    + "; remove that stale copy or point " + PROPERTY + " at a matching build");
        }
        loadedFrom = where;
    }

    /** Returns the jar path of the bundled library for this OS and architecture. */
    static String resourceName() {
        return RESOURCE_DIR + platform() + "/" + System.mapLibraryName(NAME);
    }

    /** The platforms the jar holds a library for, from its list beside them. */
    static List<String> carriedPlatforms() {
        List<String> out = new ArrayList<>();
        try {
            byte[] list = readResource(RESOURCE_DIR + "platforms");
            if (list != null) {
                for (String line : new String(list, StandardCharsets.UTF_8).split("\\R")) {
                    if (!line.isBlank()) {
                        out.add(line.strip());
                    }
                }
            }
        } catch (IOException ignored) {
            // reported as carrying none
        }
        return out;
    }

    static String platform() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        if (os.startsWith("windows")) {
            os = "windows";
        } else if (os.startsWith("mac") || os.startsWith("darwin")) {
            os = "macos";
        } else {
            os = os.replaceAll("[^a-z0-9]", "");
        }
        String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        arch = switch (arch) {
            case "amd64", "x86_64", "x86-64" -> "x86_64";
            case "aarch64", "arm64" -> "aarch64";
            // 32-bit ARM JVMs say arm (OpenJDK) or the kernel's armv7l; only ARMv7 hard
            // float is built.
            case "arm", "armv7", "armv7l", "armhf" -> "armv7";
            case "ppc64le", "powerpc64le" -> "ppc64le";
            default -> arch.replaceAll("[^a-z0-9_]", "");
        };
        return os + "-" + arch;
    }

    static byte[] readResource(String resource) throws IOException {
        try (InputStream in = NativeLoader.class.getResourceAsStream(resource)) {
            return in == null ? null : in.readAllBytes();
        }
    }

    /** The directories to extract into, in order of preference. */
    static List<Path> extractionDirs() {
        String own = System.getProperty(TMPDIR_PROPERTY);
        if (own != null && !own.isEmpty()) {
            return List.of(Path.of(own).toAbsolutePath());  // chosen by the user: the only one
        }
        List<Path> dirs = new ArrayList<>();
        String tmp = System.getProperty("java.io.tmpdir");
        if (tmp != null && !tmp.isEmpty()) {
            dirs.add(Path.of(tmp));
        }
        Path cache = userCacheDir();
        if (cache != null) {
            dirs.add(cache.resolve("gameserver-dbiface"));
        }
        return dirs;
    }

    static Path userCacheDir() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        String home = System.getProperty("user.home");
        if (os.startsWith("windows")) {
            String local = System.getenv("LOCALAPPDATA");
            return local != null && !local.isEmpty() ? Path.of(local)
                    : home != null ? Path.of(home, "AppData", "Local") : null;
        }
        if (os.startsWith("mac")) {
            return home != null ? Path.of(home, "Library", "Caches") : null;
        }
        String xdg = System.getenv("XDG_CACHE_HOME");
        if (xdg != null && xdg.startsWith("/")) {
            return Path.of(xdg);
        }
        return home != null ? Path.of(home, ".cache") : null;
    }

    static boolean posix() {
        return FileSystems.getDefault().supportedFileAttributeViews().contains("posix");
    }

    /** Creates {@code dir} when missing, readable by this user only. */
    static void privateDir(Path dir) throws IOException {
        if (Files.isDirectory(dir)) {
            return;
        }
        if (posix()) {
            Files.createDirectories(dir,
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
        } else {
            Files.createDirectories(dir);
        }
    }

    /**
     * Refuses a directory that other users may write to without the sticky bit: they could
     * swap the extracted library for their own between its writing and its loading.
     */
    static void requireSafeDir(Path dir) throws IOException {
        if (!posix()) {
            return;
        }
        int mode;
        try {
            mode = (Integer) Files.getAttribute(dir, "unix:mode");
        } catch (UnsupportedOperationException | IllegalArgumentException e) {
            return;  // no mode bits to read here
        }
        if ((mode & 0022) != 0 && (mode & 01000) == 0) {
            throw new IOException(dir + " is writable by other users and not sticky");
        }
    }

    /**
     * Writes {@code image} to a new file in {@code dir} that only this user can read, named
     * after the library and a hash of its content, so it is never mistaken for another
     * build's copy.
     */
    static Path extract(byte[] image, Path dir) throws IOException {
        boolean posix = posix();
        String file = System.mapLibraryName(NAME);
        int dot = file.lastIndexOf('.');
        String prefix = file.substring(0, dot) + "-" + sha256(image).substring(0, 16) + "-";
        String suffix = file.substring(dot);
        FileAttribute<?>[] attrs = posix
                ? new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(
                        PosixFilePermissions.fromString("rw-------"))}
                : new FileAttribute<?>[0];
        deleteStaleCopies(dir, file.substring(0, dot) + "-", suffix);
        Path out = Files.createTempFile(dir, prefix, suffix, attrs);
        out.toFile().deleteOnExit();
        Files.write(out, image);
        return out;
    }

    /**
     * Deletes the copies earlier runs left in {@code dir}: Windows cannot delete a loaded
     * library before its process ends, so deleteOnExit fails there, and a JVM killed between
     * extracting and loading leaves its copy anywhere. A copy younger than ten minutes may be
     * another JVM's on its way to loading, and stays; so does one that is loaded on Windows,
     * which refuses.
     */
    static void deleteStaleCopies(Path dir, String prefix, String suffix) {
        FileTime before = FileTime.from(Instant.now().minus(Duration.ofMinutes(10)));
        try (DirectoryStream<Path> copies = Files.newDirectoryStream(dir, prefix + "*" + suffix)) {
            for (Path copy : copies) {
                try {
                    if (Files.getLastModifiedTime(copy, LinkOption.NOFOLLOW_LINKS).compareTo(before) < 0) {
                        Files.deleteIfExists(copy);
                    }
                } catch (IOException ignored) {
                    // in use, or gone already
                }
            }
        } catch (IOException | DirectoryIteratorException ignored) {
            // nothing to clean, or nothing we may
        }
    }

    static boolean windows() {
        return System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows");
    }

    /**
     * Removes the extracted file once loaded: a mapped library stays usable after its file is
     * unlinked on POSIX systems, and nothing is left behind even if the JVM is killed. Where
     * the OS refuses (Windows), deleteOnExit still tries.
     */
    static void deleteLoaded(Path file) {
        if (!windows()) {
            try {
                Files.deleteIfExists(file);
            } catch (IOException ignored) {
                // deleteOnExit is still registered
            }
        }
    }

    static String sha256(byte[] data) {
        try {
            return HexFormat.of().formatHex(MessageDigest.getInstance("SHA-256").digest(data));
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("SHA-256 is missing from this JVM", e);
        }
    }
}
