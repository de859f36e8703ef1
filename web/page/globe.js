"use strict";
// The globe page: Tivra's documents on a Cesium globe. The program drives it through a long
// poll (commands: camera moves, documents, visibility) and reads back what the page reports
// (camera, view geometry, online state, version). The first page open drives; others watch.
(function () {
  const C = Cesium;
  const newPageId = () => Math.random().toString(36).slice(2, 10) + Date.now().toString(36);
  let page = newPageId();
  const port = location.port || (location.protocol === "https:" ? "443" : "80");
  // URLs back to this server ("http://localhost:PORT/...", as in Google Earth's documents) are
  // asked below /globe/: the page's own origin, and answers with full envelopes.
  const own = new RegExp(
    "^https?://(?:localhost|127\\.0\\.0\\.1)(?::" + port + ")?/(?!globe/)", "i");
  // Links inherit the query of the document they come from (the overlay's view values): an
  // image below ImageServer has its own query in its path and must not carry them.
  const proxy = {
    getURL: (url) => {
      const mapped = url.replace(own, location.origin + "/globe/");
      return mapped.includes("/globe/ImageServer/") ? mapped.replace(/\?BBOX=.*$/, "") : mapped;
    },
  };

  const viewer = new C.Viewer("globe", {
    baseLayer: C.ImageryLayer.fromProviderAsync(
      C.TileMapServiceImageryProvider.fromUrl(C.buildModuleUrl("Assets/Textures/NaturalEarthII"))),
    terrainProvider: new C.EllipsoidTerrainProvider(),
    baseLayerPicker: false, geocoder: false, homeButton: false, sceneModePicker: false,
    navigationHelpButton: false, animation: false, timeline: false, fullscreenButton: false,
    infoBox: false, selectionIndicator: false,
    requestRenderMode: true, maximumRenderTimeChange: Infinity,
    contextOptions: { webgl: { preserveDrawingBuffer: true } },
  });
  const scene = viewer.scene;
  const camera = scene.camera;
  scene.fog.enabled = false;
  scene.globe.showGroundAtmosphere = false;

  const state = {
    page, role: "", frames: 0, firstFrameAt: 0, loadedAt: performance.now(),
    lastSeq: 0, docs: new Map(), views: new Map(), viewer,
  };
  window.tivra = state;
  const statusLine = document.getElementById("status");

  function sleep(ms) { return new Promise((r) => setTimeout(r, ms)); }
  const deg = C.Math.toDegrees;
  const rad = C.Math.toRadians;

  // ---- what the page reports

  function focusPoint() {
    const canvas = scene.canvas;
    const centre = new C.Cartesian2(canvas.clientWidth / 2, canvas.clientHeight / 2);
    const hit = camera.pickEllipsoid(centre, C.Ellipsoid.WGS84);
    if (hit) return { carto: C.Cartographic.fromCartesian(hit), range: C.Cartesian3.distance(camera.positionWC, hit) };
    const carto = C.Cartographic.fromCartesian(camera.positionWC);
    const range = carto.height;
    carto.height = 0;
    return { carto, range };
  }

  function stateQuery() {
    const f = focusPoint();
    const cam = [deg(f.carto.latitude), deg(f.carto.longitude), f.carto.height, f.range,
      deg(camera.pitch) + 90, (deg(camera.heading) % 360 + 360) % 360];
    const p = camera.positionWC, d = camera.directionWC, u = camera.upWC, r = camera.rightWC;
    const pose = [p.x, p.y, p.z, d.x, d.y, d.z, u.x, u.y, u.z, r.x, r.y, r.z,
      camera.frustum.fovy, camera.frustum.aspectRatio];
    return "cam=" + cam.map((v) => v.toPrecision(12)).join(",") +
      "&pose=" + pose.map((v) => v.toPrecision(15)).join(",") +
      "&online=" + (navigator.onLine ? 1 : 0) + "&version=" + C.VERSION.split(".").concat(["0", "0"]).slice(0, 3).join(",");
  }

  let lastSent = "";
  let lastSentAt = 0;
  let reportTimer = 0;
  function report() {
    if (state.role !== "drive") return;
    const query = stateQuery();
    if (query === lastSent) return;
    const wait = 100 - (performance.now() - lastSentAt);
    if (wait > 0) {
      if (!reportTimer) reportTimer = setTimeout(() => { reportTimer = 0; report(); }, wait);
      return;
    }
    lastSent = query;
    lastSentAt = performance.now();
    fetch("api/state?page=" + page + "&done=" + state.lastSeq + "&" + query, { cache: "no-store" })
      .catch(() => {});
  }

  scene.postRender.addEventListener(() => {
    state.frames++;
    if (!state.firstFrameAt && scene.globe.tilesLoaded) state.firstFrameAt = performance.now();
    report();
  });

  // ---- documents

  function collectViews(xml) {
    for (const look of xml.getElementsByTagName("LookAt")) {
      const owner = look.parentElement;
      const nameElement = owner && Array.from(owner.children).find((e) => e.tagName === "name");
      if (!nameElement) continue;
      const value = (tag, fallback) => {
        const e = look.getElementsByTagName(tag)[0];
        const v = e ? parseFloat(e.textContent) : NaN;
        return Number.isFinite(v) ? v : fallback;
      };
      state.views.set(nameElement.textContent.trim(), {
        lon: value("longitude", 0), lat: value("latitude", 0), alt: value("altitude", 0),
        range: value("range", 1000), tilt: value("tilt", 0), heading: value("heading", 0),
      });
    }
  }

  async function loadDocument(key, url, adapt) {
    const response = await fetch(url, { cache: "no-store" });
    if (!response.ok) throw new Error("cannot load " + url + ": " + response.status);
    const text = adapt ? adapt(await response.text()) : await response.text();
    collectViews(new DOMParser().parseFromString(text, "application/xml"));
    seeDocument(text);
    const source = new C.Resource({ url: new URL(url, location.href).href, proxy });
    const ds = await C.KmlDataSource.load(new Blob([text]), {
      camera, canvas: scene.canvas, screenOverlayContainer: viewer.container, sourceUri: source,
    });
    const old = state.docs.get(key);
    if (old) viewer.dataSources.remove(old, true);
    state.docs.set(key, ds);
    await viewer.dataSources.add(ds);
    scene.requestRender();
    return ds;
  }

  // ---- models: the globe library draws no KML <Model> and applies no <Update>, so the page
  // shows each model placemark (the GPS car) as a marker of its own and moves it as the updates
  // of the documents it fetches change the model's <Location>. The library also stops refreshing
  // a network link for good once an answer carries an <Update> (whether it does depends on the
  // timing of the other links' refreshes), so it is handed those answers without their updates.

  const models = new C.CustomDataSource("Models");
  viewer.dataSources.add(models);
  state.models = models;

  function childText(element, tag) {
    const found = element.getElementsByTagName(tag)[0];
    return found ? found.textContent.trim() : "";
  }

  function placeModel(placemark, id) {
    const model = placemark.getElementsByTagName("Model")[0];
    const location = model && model.getElementsByTagName("Location")[0];
    if (!location) return;
    const lon = parseFloat(childText(location, "longitude"));
    const lat = parseFloat(childText(location, "latitude"));
    if (!Number.isFinite(lon) || !Number.isFinite(lat)) return;
    const position = C.Cartesian3.fromDegrees(lon, lat, 0);
    const marker = models.entities.getById(id);
    if (marker) {
      marker.position = position;
    } else {
      models.entities.add({
        id, name: childText(placemark, "name") || id, position,
        point: { pixelSize: 14, color: C.Color.ORANGERED, outlineColor: C.Color.WHITE, outlineWidth: 2,
          disableDepthTestDistance: Number.POSITIVE_INFINITY },
      });
    }
    scene.requestRender();
  }

  function seeDocument(text) {
    if (text.indexOf("<Model") < 0) return;
    const xml = new DOMParser().parseFromString(text, "application/xml");
    for (const placemark of xml.getElementsByTagName("Placemark")) {
      const target = placemark.getAttribute("targetId");
      if (target) {
        const inChange = placemark.parentElement && placemark.parentElement.tagName === "Change";
        if (inChange) placeModel(placemark, target);
      } else {
        placeModel(placemark, placemark.getAttribute("id") || childText(placemark, "name"));
      }
    }
  }

  function withoutUpdates(text) {
    const xml = new DOMParser().parseFromString(text, "application/xml");
    if (xml.getElementsByTagName("parsererror").length > 0) return text;
    const updates = Array.from(xml.getElementsByTagName("NetworkLinkControl"))
      .flatMap((control) => Array.from(control.children).filter((e) => e.localName === "Update"));
    if (updates.length === 0) return text;
    for (const update of updates) update.remove();
    return new XMLSerializer().serializeToString(xml);
  }

  const fetchBlob = C.Resource.prototype.fetchBlob;
  C.Resource.prototype.fetchBlob = function (...args) {
    const pending = fetchBlob.apply(this, args);
    if (!pending) return pending;
    return pending.then(async (blob) => {
      try {
        if (blob && blob.size < (8 << 20)) {
          const text = await blob.text();
          seeDocument(text);
          if (text.indexOf("<Update") >= 0) return new Blob([withoutUpdates(text)], { type: blob.type });
        }
      } catch (e) {
        console.warn("tivra: models: " + e);
      }
      return blob;
    });
  };

  // ---- camera

  // Google Earth's camera: a focus point, the range from it, tilt from straight down, azimuth.
  function moveCamera(c, seconds) {
    const target = C.Cartesian3.fromDegrees(c.lon, c.lat, c.alt || 0);
    const offset = new C.HeadingPitchRange(rad(c.heading || 0), rad((c.tilt || 0) - 90), Math.max(c.range, 1));
    if (seconds > 0) {
      camera.flyToBoundingSphere(new C.BoundingSphere(target, 0), { offset, duration: seconds });
    } else {
      camera.lookAt(target, offset);
      camera.lookAtTransform(C.Matrix4.IDENTITY);
    }
    scene.requestRender();
  }

  function forEachNamed(name, visit) {
    for (let i = 0; i < viewer.dataSources.length; i++) {
      const ds = viewer.dataSources.get(i);
      if (ds.name === name) visit(ds);
      for (const e of ds.entities.values) if (e.name === name) visit(e);
    }
  }

  const commands = {
    fly: (c) => moveCamera(c, c.duration),
    load: (c) => loadDocument(c.key, "api/doc?id=" + c.doc),
    show: (c) => { forEachNamed(c.name, (f) => { f.show = c.visible; }); scene.requestRender(); },
    view: (c) => {
      const look = state.views.get(c.name);
      if (look) { moveCamera(look, c.duration); return; }
      let first = null;
      forEachNamed(c.name, (f) => { first = first || f; });
      if (first) return viewer.flyTo(first, { duration: c.duration });
    },
  };

  // ---- the long poll

  let work = Promise.resolve();
  async function pollLoop() {
    for (;;) {
      let answer;
      try {
        const response = await fetch("api/poll?page=" + page, { cache: "no-store" });
        if (!response.ok) { await sleep(1000); continue; }
        answer = await response.json();
      } catch (e) {
        await sleep(1000);  // the program is gone or restarting: try again
        continue;
      }
      if (answer.role !== state.role) {
        state.role = answer.role;
        lastSent = "";
        statusLine.textContent = answer.role === "watch" ? "观看中（另一页面在驱动地球）" : "";
      }
      // Carried out in order, while the next poll is already waiting: a slow load must not
      // make the page look gone.
      for (const c of answer.commands) {
        work = work.then(async () => {
          try {
            await commands[c.op]?.(c);
          } catch (e) {
            console.warn("tivra: " + c.op + ": " + e);
          }
          state.lastSeq = c.seq;
          report();
        });
      }
      report();
      if (answer.closing || answer.role === "gone") await sleep(2000);
    }
  }

  // ---- the navigation page's picks: in pick mode a press, drag and release on the globe set
  // the point the navigation page is picking (start, via or end), live and final.

  const pickButton = document.getElementById("pick");
  let picking = false;
  let pickBusy = false;
  let pickMove = null;
  function sendPick(phase, event) {
    const canvas = scene.canvas;
    const box = canvas.getBoundingClientRect();
    const at = [Math.round(event.clientX - box.left), Math.round(event.clientY - box.top),
      canvas.clientWidth, canvas.clientHeight].join(",");
    return fetch("api/pick?page=" + page + "&phase=" + phase + "&at=" + at, { cache: "no-store" })
      .catch(() => {});
  }
  async function sendMove() {
    // One move in flight at a time; the newest waiting move goes next.
    if (pickBusy || !pickMove) return;
    pickBusy = true;
    const event = pickMove;
    pickMove = null;
    await sendPick("move", event);
    pickBusy = false;
    sendMove();
  }
  pickButton.addEventListener("click", () => {
    picking = !picking;
    pickButton.classList.toggle("on", picking);
    scene.screenSpaceCameraController.enableInputs = !picking;
  });
  let dragging = false;
  scene.canvas.addEventListener("pointerdown", (e) => {
    if (!picking || state.role !== "drive") return;
    dragging = true;
    sendPick("press", e).then(() => sendPick("move", e));
  });
  scene.canvas.addEventListener("pointermove", (e) => {
    if (!dragging) return;
    pickMove = e;
    sendMove();
  });
  scene.canvas.addEventListener("pointerup", async (e) => {
    if (!dragging) return;
    dragging = false;
    pickMove = null;
    while (pickBusy) await sleep(10);
    sendPick("release", e);
  });

  addEventListener("pagehide", () => navigator.sendBeacon("api/bye?page=" + page));
  // A page back from the browser's history cache said goodbye under its old name: it attaches
  // as a new page.
  addEventListener("pageshow", (e) => {
    if (e.persisted) state.page = page = newPageId();
  });

  // The page's own entry document, like Google Earth's: start view, logo, overlay link.
  async function start() {
    const entry = new URL("entry.kml", location.href).href;
    const text = await (await fetch(entry, { cache: "no-store" })).text();
    const xml = new DOMParser().parseFromString(text, "application/xml");
    collectViews(xml);
    const look = state.views.get("Tivra");
    if (look) moveCamera(look, 0);
    pollLoop();
    // The globe rebuilds a link's overlays at every refresh, which takes it longer than the
    // 3 s interval of the entry document: the page's overlay follows camera stops only.
    await loadDocument("entry", entry, (t) => t.replace(/<refreshMode>onInterval<\/refreshMode>\s*<refreshInterval>[^<]*<\/refreshInterval>/, ""));
    state.entryLoadedAt = performance.now();
  }
  start().catch((e) => console.warn("tivra: " + e));
})();
